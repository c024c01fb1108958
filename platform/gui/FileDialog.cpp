#include "platform/gui/FileDialog.h"

#include <QFileDialog>
#include <QStringList>

namespace {

COpenFileDialogRecorder* g_recorder = nullptr;

QString Q(const std::u16string& text) {
    return QString::fromStdU16String(text);
}

// "*.*" is how every file is asked for where the dialogs came from; on a
// file system without extensions it must still match "README".
QString QtPatterns(const std::u16string& patterns) {
    QStringList list = Q(patterns).split(QLatin1Char(';'), Qt::SkipEmptyParts);
    for (QString& pattern : list) {
        pattern = pattern.trimmed();
        if (pattern == QLatin1String("*.*"))
            pattern = QStringLiteral("*");
    }
    return list.join(QLatin1Char(' '));
}

} // namespace

COpenFileDialogRecorder::COpenFileDialogRecorder() : m_previous(g_recorder) {
    g_recorder = this;
}

COpenFileDialogRecorder::~COpenFileDialogRecorder() {
    g_recorder = m_previous;
}

std::optional<std::u16string> COpenFileDialogRecorder::Answer(const COpenFileRequest& request) {
    Record record;
    record.owner = request.owner;
    record.hadOwner = request.owner != nullptr;
    record.request = request;
    if (!m_answers.empty()) {
        record.answer = m_answers.front();
        m_answers.pop_front();
    }
    m_records.push_back(record);
    return record.answer;
}

std::unique_ptr<QFileDialog> CreateOpenFileDialog(const COpenFileRequest& request) {
    auto dialog = std::make_unique<QFileDialog>(request.owner);
    dialog->setAcceptMode(QFileDialog::AcceptOpen);
    dialog->setFileMode(QFileDialog::ExistingFile);
    if (!request.title.empty())
        dialog->setWindowTitle(Q(request.title));
    if (!request.initialDirectory.empty())
        dialog->setDirectory(Q(request.initialDirectory));
    if (!request.defaultExtension.empty())
        dialog->setDefaultSuffix(Q(request.defaultExtension));
    QStringList filters;
    for (const auto& [description, patterns] : request.filters)
        filters << QStringLiteral("%1 (%2)").arg(Q(description), QtPatterns(patterns));
    if (!filters.isEmpty())
        dialog->setNameFilters(filters);
    if (!request.initialFile.empty())
        dialog->selectFile(Q(request.initialFile));
    return dialog;
}

std::optional<std::u16string> ShowOpenFileDialog(const COpenFileRequest& request) {
    if (g_recorder != nullptr)
        return g_recorder->Answer(request);
    const std::unique_ptr<QFileDialog> dialog = CreateOpenFileDialog(request);
    if (dialog->exec() != QDialog::Accepted)
        return std::nullopt;
    const QStringList chosen = dialog->selectedFiles();
    if (chosen.isEmpty())
        return std::nullopt;
    return chosen.front().toStdU16String();
}
