#include "app.h"
#include "mpris.h"
#include "options.h"
#include "player.h"
#include "scpiserver.h"
#include "translations.h"

#include <QApplication>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication::setApplicationName(QStringLiteral("ecg-simulator"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ECG_VERSION));
    // Read under a core application object, before the GUI's, which needs a
    // display: --help, --version, a refusal and the headless mode work from an
    // SSH session too, and a refused value opens no window and no device.
    CommandLine commandLine;
    {
        QCoreApplication core(argc, argv);
        commandLine = readCommandLine(QCoreApplication::arguments(), defaultSettingsFiles());
        if (commandLine.exitStatus >= 0) {
            std::FILE *stream = commandLine.exitStatus == 0 ? stdout : stderr;
            std::fputs(commandLine.text.toLocal8Bit().constData(), stream);
            if (!commandLine.text.endsWith('\n'))
                std::fputc('\n', stream);
            return commandLine.exitStatus;
        }
        // Headless: no window, no display needed (an SSH session, a service).
        if (!commandLine.playFile.isEmpty() || !commandLine.playlistFile.isEmpty()) {
            Player player(commandLine.output,
                          commandLine.playlistFile.isEmpty() ? commandLine.playFile : commandLine.playlistFile,
                          commandLine.playlistFile.isEmpty() ? Player::Source::File : Player::Source::Playlist);
            ScpiServer scpi(player.playback(), commandLine.output);
            if (commandLine.listenPort)
                scpi.listen(commandLine.listenAddress, commandLine.listenPort, commandLine.scpiIdleSeconds);
            Mpris mpris(player.playback(), &player);
            return player.exec();
        }
    }

    QApplication application(argc, argv);
    installQtTranslations(application);
    App app(commandLine.output);
    ScpiServer scpi(app.playback(), commandLine.output);
    if (commandLine.listenPort)
        scpi.listen(commandLine.listenAddress, commandLine.listenPort, commandLine.scpiIdleSeconds);
    Mpris mpris(app.playback(), &app);
    app.start();
    return application.exec();
}
