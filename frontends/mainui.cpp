#include "mainui.h"

#include "statusline.h"
#include "ui_mainui.h"

#include <QCloseEvent>
#include <QFontMetrics>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QInputDialog>
#include <QKeyEvent>
#include <QListView>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>

#include <algorithm>

namespace {

// The Raspberry Pi touch display: on it and on smaller screens, controls are
// for fingers.
constexpr QSize touchScreenSize(800, 480);
constexpr int fingerHeight = 48;
constexpr int fingerRowHeight = 40;
// The status line's smallest font, still read from a step away.
constexpr int minStatusPointSize = 9;

} // namespace

MainUI::MainUI(QWidget *parent)
    : QDialog(parent), ui(new MainUIForm)
{
    setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
    ui->setupUi(this);
    ui->fileLabel->setText("Aucun fichier sélectionné.");
    formSize = size();
    formHeader = ui->verticalLayoutWidget->geometry();
    formStatus = ui->statusLabel->geometry();
    formStatusFont = ui->statusLabel->font();
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

WaveformView *MainUI::waveformView() const
{
    return ui->chartView;
}

void MainUI::showRunning(bool running)
{
    const QSignalBlocker quiet(this);
    ui->btnSimu->setChecked(running);
}

void MainUI::showStatus(const PlaybackFacts &facts, const OutputHealth &health)
{
    ui->statusLabel->setText(statusText(facts) + '\n' + healthText(health));
    ui->statusLabel->setStyleSheet(health.failure.isEmpty() ? QString() : QStringLiteral("color: #b00000;"));
    fitStatusFont();
}

// The form's font, smaller as far as needed for the longest line to fit.
void MainUI::fitStatusFont()
{
    QFont font = formStatusFont;
    const QStringList lines = ui->statusLabel->text().split('\n');
    for (; font.pointSize() > minStatusPointSize; font.setPointSize(font.pointSize() - 1)) {
        const QFontMetrics metrics(font);
        const bool fits = std::all_of(lines.begin(), lines.end(), [&](const QString &line) {
            return metrics.horizontalAdvance(line) <= ui->statusLabel->width();
        });
        if (fits)
            break;
    }
    ui->statusLabel->setFont(font);
}

void MainUI::fitInto(const QRect &area)
{
    touchScreen = area.width() <= touchScreenSize.width() || area.height() <= touchScreenSize.height();
    for (QPushButton *button : {ui->btnSimu, ui->openFileButton, ui->btnQuit})
        button->setMinimumHeight(touchScreen ? fingerHeight : 0);
    if (area.width() >= formSize.width() && area.height() >= formSize.height()) {
        // At the top left, as on a smaller screen: the virtual DAC's live view
        // goes beside it.
        setGeometry(QRect(area.topLeft(), formSize));
        ui->verticalLayoutWidget->setGeometry(formHeader);
        ui->statusLabel->setGeometry(formStatus);
        ui->chartView->setGeometry(formChart);
        fitStatusFont();
        return;
    }
    const QSize fitted = formSize.boundedTo(area.size());
    setGeometry(QRect(area.topLeft(), fitted));
    const int headerWidth = qMin(formHeader.width(), fitted.width());
    const int headerHeight = qMax(formHeader.height(), ui->verticalLayout->minimumSize().height());
    ui->verticalLayoutWidget->setGeometry((fitted.width() - headerWidth) / 2, formHeader.y(), headerWidth,
                                          headerHeight);
    // The form's margins and gaps around the status line and the chart, the
    // left margin narrowed with the window.
    const int left = formChart.x() * fitted.width() / formSize.width();
    const int right = formSize.width() - formChart.x() - formChart.width();
    const int bottom = formSize.height() - formChart.y() - formChart.height();
    const int width = qMax(0, fitted.width() - left - right);
    const int statusTop = formHeader.y() + headerHeight + formStatus.y() - formHeader.bottom() - 1;
    ui->statusLabel->setGeometry(left, statusTop, width, formStatus.height());
    const int chartTop = statusTop + formStatus.height() + formChart.y() - formStatus.bottom() - 1;
    ui->chartView->setGeometry(left, chartTop, width, qMax(0, fitted.height() - chartTop - bottom));
    fitStatusFont();
}

void MainUI::adaptForTouch(QInputDialog *dialog) const
{
    if (!touchScreen)
        return;
    for (QPushButton *button : dialog->findChildren<QPushButton *>())
        button->setMinimumHeight(fingerHeight);
    for (QListView *list : dialog->findChildren<QListView *>())
        list->setStyleSheet(QString("QListView::item { min-height: %1px; }").arg(fingerRowHeight));
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
