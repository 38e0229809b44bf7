#include "mainui.h"

#include "ui_mainui.h"

#include <QCloseEvent>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>

MainUI::MainUI(QWidget *parent)
    : QDialog(parent), ui(new MainUIForm)
{
    setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
    ui->setupUi(this);
    ui->fileLabel->setText("Aucun fichier sélectionné.");
    formSize = size();
    formHeader = ui->verticalLayoutWidget->geometry();
    formChart = ui->chartView->geometry();
    if (const QScreen *screen = QGuiApplication::primaryScreen())
        fitInto(screen->availableGeometry());

    loadingPanel = new QWidget(this);
    loadingBar = new QProgressBar(loadingPanel);
    loadingBar->setRange(0, 1000);
    loadingBar->setFormat("Lecture du fichier : %p %");
    auto *cancel = new QPushButton("Annuler", loadingPanel);
    cancel->setObjectName("cancelLoadButton");
    auto *loadingLayout = new QHBoxLayout(loadingPanel);
    loadingLayout->addWidget(loadingBar, 1);
    loadingLayout->addWidget(cancel);
    loadingPanel->hide();
    connect(cancel, &QPushButton::clicked, this, &MainUI::cancelLoadRequested);

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

void MainUI::switchOff()
{
    ui->btnSimu->setChecked(false);
}

bool MainUI::running() const
{
    return ui->btnSimu->isChecked();
}

void MainUI::showRunning(bool running)
{
    const QSignalBlocker quiet(this);
    ui->btnSimu->setChecked(running);
}

void MainUI::fitInto(const QRect &area)
{
    if (area.width() >= formSize.width() && area.height() >= formSize.height()) {
        resize(formSize);
        ui->verticalLayoutWidget->setGeometry(formHeader);
        ui->chartView->setGeometry(formChart);
        return;
    }
    const QSize fitted = formSize.boundedTo(area.size());
    setGeometry(QRect(area.topLeft(), fitted));
    const int headerWidth = qMin(formHeader.width(), fitted.width());
    ui->verticalLayoutWidget->setGeometry((fitted.width() - headerWidth) / 2, formHeader.y(), headerWidth,
                                          formHeader.height());
    // The form's margins around the chart, the left one narrowed with the window.
    const int left = formChart.x() * fitted.width() / formSize.width();
    const int right = formSize.width() - formChart.x() - formChart.width();
    const int bottom = formSize.height() - formChart.y() - formChart.height();
    ui->chartView->setGeometry(left, formChart.y(), qMax(0, fitted.width() - left - right),
                               qMax(0, fitted.height() - formChart.y() - bottom));
}

void MainUI::showLoading(double progress)
{
    const QRect chart = ui->chartView->geometry();
    const int height = loadingPanel->sizeHint().height();
    loadingPanel->setGeometry(chart.x(), chart.bottom() - height, chart.width(), height);
    loadingBar->setValue(int(progress * 1000));
    loadingPanel->show();
    loadingPanel->raise();
}

void MainUI::hideLoading()
{
    loadingPanel->hide();
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
