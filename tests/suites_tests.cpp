// SuiteHandler against the stand-in host's basic suite.
#include <gtest/gtest.h>

#include <functional>

#include "standin_host.h"
#include "suite_handler.h"

using standin::Callback;
using standin::Host;
using telvix::SuiteHandler;

namespace {

// A host whose basic suite the handler can use outside a command.
struct SuitesTest : ::testing::Test {
    Host host{nullptr};
    Host::Scope scope{host};
    SPBasicSuite* basic() { return host.inData().pica_basicP; }
};

int thrownCode(const std::function<void()>& f)
{
    try {
        f();
    } catch (int code) {
        return code;
    }
    return 0;
}

}  // namespace

TEST_F(SuitesTest, ANullBasicSuiteThrows516AtConstruction)
{
    EXPECT_EQ(thrownCode([] { SuiteHandler handler(nullptr); }), PF_Err_BAD_CALLBACK_PARAM);
}

TEST_F(SuitesTest, AcquiresOnFirstUseAndReleasesEachSuiteOnceOnDestruction)
{
    {
        SuiteHandler handler(basic());
        EXPECT_EQ(host.suitesAcquired(), 0);  // nothing until asked
        const auto* iterate8 = handler.iterate8Suite();
        ASSERT_NE(iterate8, nullptr);
        EXPECT_EQ(handler.iterate8Suite(), iterate8);
        EXPECT_NE(handler.iterate16Suite(), nullptr);
        EXPECT_NE(handler.ansiSuite()->sprintf, nullptr);
        EXPECT_EQ(host.suitesAcquired(), 3);
        EXPECT_EQ(host.suitesReleased(), 0);
    }
    EXPECT_EQ(host.suitesReleased(), 3);
    EXPECT_EQ(host.calls(Callback::ReleaseSuite), 3);
}

TEST_F(SuitesTest, ARefusedOrNullSuiteThrows516AndWhatWasHeldIsReleased)
{
    host.faults().refusedSuites = {kPFIterate16Suite};
    host.faults().nullSuites = {kPFANSISuite};
    const int refused = thrownCode([&] {
        SuiteHandler handler(basic());
        handler.iterate8Suite();
        handler.iterate16Suite();
    });
    EXPECT_EQ(refused, PF_Err_BAD_CALLBACK_PARAM);
    EXPECT_EQ(thrownCode([&] { SuiteHandler(basic()).ansiSuite(); }), PF_Err_BAD_CALLBACK_PARAM);
    EXPECT_EQ(host.suitesAcquired(), 1);
    EXPECT_EQ(host.suitesHeld(), 0);
}

TEST_F(SuitesTest, AFailingReleaseDoesNotEscapeTheDestructor)
{
    host.faults().failures = {{Callback::ReleaseSuite, 1, 99}};
    EXPECT_NO_THROW({
        SuiteHandler handler(basic());
        handler.iterate8Suite();
        handler.ansiSuite();
    });
    EXPECT_EQ(host.calls(Callback::ReleaseSuite), 2);
}
