// Widget tests need one QApplication for the whole run, and scripted interactions.
#include "testhooks.h"

#include <QApplication>
#include <gtest/gtest.h>

namespace {
class HooksReset : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo &) override { vcltest::resetHooks(); }
};
} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    vcltest::installHooks();
    ::testing::UnitTest::GetInstance()->listeners().Append(new HooksReset);
    return RUN_ALL_TESTS();
}
