#pragma once
// The standard "open file" dialog. Tests put a COpenFileDialogRecorder in
// place; while it lives no dialog is shown, each request is recorded and
// answered with the next queued path (or cancelled when none is queued).

#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <QPointer>
#include <QWidget>

class QFileDialog;

struct COpenFileRequest {
    QWidget* owner = nullptr;
    std::u16string title;            // empty: the platform's "Open"
    std::u16string initialDirectory; // empty: the current directory
    std::u16string initialFile;
    std::u16string defaultExtension; // without the dot; empty: none
    // Filters as (description, patterns): {u"All Files", u"*.*"}. The first is selected.
    std::vector<std::pair<std::u16string, std::u16string>> filters;
};

// The full path of the chosen existing file; nullopt when the user cancels.
std::optional<std::u16string> ShowOpenFileDialog(const COpenFileRequest& request);

// The dialog ShowOpenFileDialog would run, not yet shown.
std::unique_ptr<QFileDialog> CreateOpenFileDialog(const COpenFileRequest& request);

class COpenFileDialogRecorder {
public:
    struct Record {
        QPointer<QWidget> owner;
        bool hadOwner = false;
        COpenFileRequest request;
        std::optional<std::u16string> answer;
    };

    COpenFileDialogRecorder();
    ~COpenFileDialogRecorder();
    COpenFileDialogRecorder(const COpenFileDialogRecorder&) = delete;
    COpenFileDialogRecorder& operator=(const COpenFileDialogRecorder&) = delete;

    void SetNextAnswer(std::optional<std::u16string> path) { m_answers.push_back(std::move(path)); }
    const std::vector<Record>& Records() const { return m_records; }

private:
    friend std::optional<std::u16string> ShowOpenFileDialog(const COpenFileRequest& request);
    std::optional<std::u16string> Answer(const COpenFileRequest& request);

    std::deque<std::optional<std::u16string>> m_answers;
    std::vector<Record> m_records;
    COpenFileDialogRecorder* m_previous = nullptr;
};
