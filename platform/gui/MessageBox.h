#pragma once
// Message boxes. One function shows every box the tool needs: text, caption,
// an owner or none, an icon, the topmost style and the buttons.
//
// Tests put a CMessageBoxRecorder in place; while it lives no box is shown,
// each call is recorded and answered from the recorder's queue.

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include <QPointer>
#include <QWidget>

class QMessageBox;

// Button and answer values as the dialog code compares them.
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr int IDYES = 6;
inline constexpr int IDNO = 7;

enum class MessageIcon { None, Information, Warning, Error, Question };
enum class MessageButtons { Ok, OkCancel, YesNo };

struct CMessageBoxRequest {
    QWidget* owner = nullptr; // null: no owner
    std::u16string text;
    std::u16string caption;
    MessageIcon icon = MessageIcon::Warning;
    bool topmost = true;
    MessageButtons buttons = MessageButtons::Ok;
    // Behind the box's details button when not empty (plain text), with the
    // button's two labels in the box's language (empty: Qt's own).
    std::u16string detailedText;
    std::u16string showDetailsLabel;
    std::u16string hideDetailsLabel;
};

// Shows the box modally and returns the button pressed (IDOK, IDCANCEL,
// IDYES, IDNO); closing the box counts as its cancel or "no" answer.
int ShowMessageBox(const CMessageBoxRequest& request);
int ShowMessageBox(QWidget* owner, const std::u16string& text, const std::u16string& caption,
                   MessageIcon icon, bool topmost = true,
                   MessageButtons buttons = MessageButtons::Ok);

// The box ShowMessageBox would run, not yet shown; for tests of its looks.
std::unique_ptr<QMessageBox> CreateMessageBox(const CMessageBoxRequest& request);

class CMessageBoxRecorder {
public:
    struct Record {
        QPointer<QWidget> owner;
        bool hadOwner = false;
        std::u16string text;
        std::u16string caption;
        MessageIcon icon = MessageIcon::None;
        bool topmost = false;
        MessageButtons buttons = MessageButtons::Ok;
        std::u16string detailedText;
        int answer = 0;
    };

    CMessageBoxRecorder();
    ~CMessageBoxRecorder();
    CMessageBoxRecorder(const CMessageBoxRecorder&) = delete;
    CMessageBoxRecorder& operator=(const CMessageBoxRecorder&) = delete;

    // Answers for the next boxes, in order; when none is queued a box gets
    // its first button (IDOK or IDYES).
    void SetNextAnswer(int answer) { m_answers.push_back(answer); }
    const std::vector<Record>& Records() const { return m_records; }
    void Clear() { m_records.clear(); }

private:
    friend int ShowMessageBox(const CMessageBoxRequest& request);
    int Answer(const CMessageBoxRequest& request);

    std::deque<int> m_answers;
    std::vector<Record> m_records;
    CMessageBoxRecorder* m_previous = nullptr;
};
