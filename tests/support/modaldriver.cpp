#include "modaldriver.h"

#include <QApplication>
#include <QLineEdit>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>

namespace {
constexpr int pollMs = 10;
constexpr int unexpectedAfterPolls = 300;
} // namespace

ModalDriver::ModalDriver()
{
    connect(&timer, &QTimer::timeout, this, &ModalDriver::poll);
    timer.start(pollMs);
}

void ModalDriver::expect(const Answer &answer)
{
    answers.enqueue(answer);
}

void ModalDriver::poll()
{
    QWidget *modal = QApplication::activeModalWidget();
    if (!modal || !modal->isVisible())
        return;
    if (modal != unanswered) {
        unanswered = modal;
        unansweredPolls = 0;
    }
    if (!answers.isEmpty() && answers.head()(modal)) {
        answers.dequeue();
        return;
    }
    if (++unansweredPolls >= unexpectedAfterPolls) {
        ++unexpectedCount;
        if (auto *dialog = qobject_cast<QDialog *>(modal))
            dialog->reject();
    }
}

ModalDriver::Answer ModalDriver::chooseFile(const QString &path)
{
    return [path](QWidget *modal) {
        auto *dialog = qobject_cast<QFileDialog *>(modal);
        if (!dialog || dialog->windowTitle() != "Ouvrir un fichier CSV"
            || dialog->nameFilters()
                   != QStringList{"Enregistrements ECG (*.csv *.hea *.dat *.edf *.bdf)", "Fichiers CSV (*.csv)"}) {
            modal->close();
            return true;
        }
        // Typed as the operator would: the dialog pre-fills the name of its
        // missing start folder, which selectFile does not always replace.
        auto *nameEdit = dialog->findChild<QLineEdit *>("fileNameEdit");
        if (!nameEdit)
            return false;
        nameEdit->setText(path);
        if (dialog->selectedFiles() != QStringList{path})
            return false;
        // Accepted as the dialog would, without its own existence check, so that
        // a file that went away after it was chosen can be played too.
        static_cast<QDialog *>(dialog)->done(QDialog::Accepted);
        return true;
    };
}

ModalDriver::Answer ModalDriver::cancelFileDialog()
{
    return [](QWidget *modal) { return modal->close(); };
}

ModalDriver::Answer ModalDriver::acknowledgeWarning(const QString &text, bool *seen)
{
    return [text, seen](QWidget *modal) {
        auto *box = qobject_cast<QMessageBox *>(modal);
        if (!box)
            return modal->close();
        *seen = box->windowTitle() == "Erreur" && box->text() == text && box->icon() == QMessageBox::Warning
                && box->standardButtons() == QMessageBox::Ok && box->isModal()
                && box->parentWidget() && box->parentWidget()->objectName() == "MainUI";
        box->button(QMessageBox::Ok)->click();
        return true;
    };
}
