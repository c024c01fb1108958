// A QApplication for the GUI tests, created before the first test on the
// main thread. ctest sets QT_QPA_PLATFORM=offscreen; a test run by hand gets
// it too, so that no test ever needs a display.

#include <cstdlib>
#include <memory>

#include <QApplication>
#include <gtest/gtest.h>

#include "res/ProgramResources.h"

namespace {

class CGuiEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
        m_app = std::make_unique<QApplication>(m_argc, m_argv);
        QApplication::setApplicationDisplayName(QStringLiteral("Kestrel Agent Setting Tool"));
        ASSERT_TRUE(InstallProgramResources());
    }
    void TearDown() override { m_app.reset(); }

private:
    int m_argc = 1;
    char m_name[16] = "opal-gui-test";
    char* m_argv[2] = {m_name, nullptr};
    std::unique_ptr<QApplication> m_app;
};

[[maybe_unused]] ::testing::Environment* const g_environment =
    ::testing::AddGlobalTestEnvironment(new CGuiEnvironment());

} // namespace
