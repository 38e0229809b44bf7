#ifndef MAINUI_H
#define MAINUI_H

#include <QDialog>

class QInputDialog;
class WaveformView;
class QProgressBar;
struct OutputHealth;
struct PlaybackFacts;
namespace Ui {
class MainUI;
}
// The form record generated from mainui.ui.
using MainUIForm = Ui::MainUI;

// The operator window: frameless, of fixed layout. It turns button presses into
// signals for the controller and refuses to be closed or dismissed.
class MainUI : public QDialog
{
    Q_OBJECT

public:
    explicit MainUI(QWidget *parent = nullptr);
    ~MainUI() override;

    // Shows the name part of path, or "Aucun fichier sélectionné." for an empty text.
    void setFileName(const QString &path);
    WaveformView *waveformView() const;
    // Shows the toggle on or off without telling the controller, which did
    // it (a remote command).
    void showRunning(bool running);
    // The status line under the buttons (statusText, then healthText), its
    // font smaller when the window is too narrow for its lines, red while
    // the device has failed.
    void showStatus(const PlaybackFacts &facts, const OutputHealth &health);
    // On a screen whose available area is smaller than the form, the window
    // takes that area: the header keeps its width, centred as far as it fits,
    // the status line its height, and the chart fills the rest. Elsewhere the
    // window is as the form made it. On a touch screen (800 x 480 or
    // smaller) every button is a finger high, the header as high as they need.
    void fitInto(const QRect &area);
    // A bar over the chart's foot while a file is read, progress from 0 to 1,
    // with a button that asks to give the read up.
    void showLoading(double progress);
    void hideLoading();
    // On a touch screen, the dialog's buttons a finger high and its list's
    // rows nearly so (a record's signal list, say); elsewhere as it is.
    void adaptForTouch(QInputDialog *dialog) const;

signals:
    void simuToggled(bool checked);
    void openFileRequested();
    void exitRequested();
    void cancelLoadRequested();

protected:
    void closeEvent(QCloseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private slots:
    void onBtnSimuToggled(bool checked);
    void onBtnQuitClicked();

private:
    void fitStatusFont();

    MainUIForm *ui;
    QWidget *loadingPanel;
    QProgressBar *loadingBar;
    // The window's and its parts' geometries as the form lays them out.
    QSize formSize;
    QRect formHeader;
    QRect formStatus;
    QRect formChart;
    QFont formStatusFont;
    bool touchScreen = false;
};

#endif // MAINUI_H
