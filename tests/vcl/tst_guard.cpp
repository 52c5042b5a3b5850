#include "vcl/confirm.h"
#include "vcl/guard.h"

#include "dataset/abort.h"
#include "testhooks.h"

#include <QTimer>
#include <gtest/gtest.h>
#include <stdexcept>

using namespace fiscal::vcl;

namespace {

TEST(Guard, abortIsSilentOtherErrorsAreReported)
{
    struct Case {
        const char *name;
        std::function<void()> fn;
        bool ok;
        QStringList reported;
    };
    const Case cases[] = {
        {"normal return", [] {}, true, {}},
        {"empty handler", {}, true, {}},
        {"abort", [] { throw fiscal::dataset::EAbort(); }, false, {}},
        {"runtime error", [] { throw std::runtime_error("Grupo fiscal não cadastrado."); }, false,
         {QStringLiteral("Grupo fiscal não cadastrado.")}},
        {"logic error", [] { throw std::logic_error("bad"); }, false, {QStringLiteral("bad")}},
        {"not an exception", [] { throw 42; }, false, {QStringLiteral("Erro inesperado.")}},
    };
    for (const Case &c : cases) {
        vcltest::resetHooks();
        EXPECT_EQ(guarded(c.fn), c.ok) << c.name;
        EXPECT_EQ(vcltest::errors(), c.reported) << c.name;
    }
}

TEST(Guard, nestedGuardsReportOnceAndTheOuterCallGoesOn)
{
    bool after = false;
    EXPECT_TRUE(guarded([&] {
        EXPECT_FALSE(guarded([] { throw std::runtime_error("inner"); }));
        after = true;
    }));
    EXPECT_TRUE(after);
    EXPECT_EQ(vcltest::errors(), QStringList{QStringLiteral("inner")});
}

TEST(Guard, aThrowingReporterDoesNotEscape)
{
    const ErrorReporter previous = setErrorReporter([](const QString &) { throw std::runtime_error("reporter broke"); });
    EXPECT_NO_THROW(EXPECT_FALSE(guarded([] { throw std::runtime_error("x"); })));
    setErrorReporter(previous);
    EXPECT_FALSE(guarded([] { throw std::runtime_error("y"); }));
    EXPECT_EQ(vcltest::errors(), QStringList{QStringLiteral("y")});
}

TEST(Guard, confirmGoesThroughTheReplaceableHandler)
{
    vcltest::answerNext(true);
    vcltest::answerNext(false);
    EXPECT_TRUE(confirm(QStringLiteral("Confirma exclusão?")));
    EXPECT_FALSE(confirm(QStringLiteral("De novo?")));
    EXPECT_EQ(vcltest::questions(), (QStringList{QStringLiteral("Confirma exclusão?"), QStringLiteral("De novo?")}));
}

} // namespace
