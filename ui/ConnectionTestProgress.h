#pragma once
// "Test Connection" without freezing the settings sheet: the connection test
// runs on a thread of its own while a small application-modal window says
// what is being tested and offers Cancel. The UI thread keeps serving
// events (painting, timers, the status monitor's messages) throughout.

#include <functional>
#include <optional>

#include <QDialog>
#include <QString>

#include "comm/ConfigureAgent4VSM.h"
#include "comm/ConnectionDiagnosis.h"
#include "platform/gui/MessageBox.h"

class QLabel;
class QPushButton;

// String resources of the window: "Testing the connection to %s:%d…"
// (server, port) and the button's "Cancel".
inline constexpr unsigned IDS_TESTING_CONNECTION = 7122;
inline constexpr unsigned IDS_CANCEL = 7123;
// The labels of the result box's button that shows and hides the
// diagnosis.
inline constexpr unsigned IDS_SHOW_DETAILS = 7170;
inline constexpr unsigned IDS_HIDE_DETAILS = 7171;

// Object names by which widget tests find the window and its button.
inline constexpr char CONNECTION_TEST_PROGRESS_NAME[] = "ConnectionTestProgress";
inline constexpr char CONNECTION_TEST_CANCEL_NAME[] = "ConnectionTestCancel";

// Runs the test and waits for it in a nested event loop behind the progress
// window, which `owner` owns (null: no owner). Returns the outcome when the
// test ends; nullopt when the user cancelled (the button, Escape or closing
// the window), when the owner went away meanwhile or when the application
// is quitting. A cancelled test ends within a fraction of a second; the
// worker thread has always ended when this returns. With `diagnosis`, the
// observed test runs and its account lands there when the outcome is
// returned.
std::optional<ConnectionTestOutcome>
RunConnectionTestWithProgress(QWidget* owner, const ConnectionTestSettings& settings,
                              const QString& progressText, const QString& cancelText,
                              ConnectionDiagnosis* diagnosis = nullptr);

// The box that reports a finished test, owned by `owner`: the outcome's
// message and caption from `strings` (the selected language), and the
// diagnosis's report behind the Details button.
CMessageBoxRequest ConnectionTestResultBox(QWidget* owner, const ConnectionTestOutcome& outcome,
                                           const ConnectionDiagnosis& diagnosis,
                                           const std::function<std::u16string(unsigned)>& strings);

// `format` (the text of IDS_TESTING_CONNECTION) with its "%s" replaced by
// the server and its "%d" by the port as the test uses it (its low 16 bits),
// literally: a '%' in the server name stays as it is.
QString TestingConnectionText(const QString& format, const QString& server, int32_t port);

// The window itself; RunConnectionTestWithProgress creates and deletes it.
class CConnectionTestProgress : public QDialog {
    Q_OBJECT
public:
    CConnectionTestProgress(QWidget* owner, const QString& progressText, const QString& cancelText);

    // The Cancel button, Escape and closing the window all end up here. The
    // window stays until its owner deletes it.
    void reject() override;

signals:
    // Once, at the first request to cancel.
    void cancelRequested();

private:
    QLabel* m_text;
    QPushButton* m_cancel;
    bool m_cancelRequested = false;
};

// Test seam: called on the UI thread with the window once it is shown and
// the test is running; an empty function removes it. Production code never
// sets it.
void SetConnectionTestProgressObserverForTesting(
    std::function<void(CConnectionTestProgress*)> observer);
