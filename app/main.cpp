#include "app.h"

#include <QApplication>

int main(int argc, char **argv)
{
    QApplication application(argc, argv);
    App app;
    app.start();
    return application.exec();
}
