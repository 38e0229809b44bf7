#include "mainui.h"

#include "ui_mainui.h"

#include <QCloseEvent>
#include <QFileInfo>
#include <QKeyEvent>

MainUI::MainUI(QWidget *parent)
    : QDialog(parent), ui(new MainUIForm)
{
    setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
    ui->setupUi(this);
    ui->fileLabel->setText("Aucun fichier sélectionné.");

    connect(ui->btnSimu, &QPushButton::toggled, this, &MainUI::onBtnSimuToggled);
    connect(ui->btnQuit, &QPushButton::clicked, this, &MainUI::onBtnQuitClicked);
    connect(ui->openFileButton, &QPushButton::clicked, this, &MainUI::openFileRequested);
}

MainUI::~MainUI()
{
    delete ui;
}

void MainUI::setFileName(const QString &path)
{
    ui->fileLabel->setText(path.isEmpty() ? QString("Aucun fichier sélectionné.") : QFileInfo(path).fileName());
}

QtCharts::QChartView *MainUI::getChartView() const
{
    return ui->chartView;
}

// Quitting is the Quit button's job: a close request would leave the output running.
void MainUI::closeEvent(QCloseEvent *event)
{
    event->ignore();
}

// The dialog's Escape handling would hide this only window and leave the output
// running with no way to stop it; Escape does nothing here.
void MainUI::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void MainUI::onBtnSimuToggled(bool checked)
{
    ui->btnSimu->setText(checked ? "Stopper la simulation" : "Lancer la simulation");
    ui->btnQuit->setEnabled(!checked);
    emit simuToggled(checked);
}

void MainUI::onBtnQuitClicked()
{
    emit exitRequested();
}
