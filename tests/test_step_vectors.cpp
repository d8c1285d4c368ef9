// The step's vector wrappers, lane by lane, for every build of the step that this processor runs:
// the check itself (step_vector_check.h) is compiled once per build with that build's flags.
#include <gtest/gtest.h>

#include <cstddef>
#include <ostream>
#include <string>

#define QUOLVANE_STEP_BUILD(name, runs) bool CheckStepVector_##name(char* failure, size_t size);
#include "step_builds.inc"
#undef QUOLVANE_STEP_BUILD

namespace {

struct WrapperCheck {
    const char* build;
    bool runsHere;
    bool (*check)(char* failure, size_t size);
};

const WrapperCheck CHECKS[] = {
#define QUOLVANE_STEP_BUILD(name, runs) {#name, (bool)(runs), CheckStepVector_##name},
#include "step_builds.inc"
#undef QUOLVANE_STEP_BUILD
};

void PrintTo(const WrapperCheck& c, std::ostream* os)
{
    *os << c.build;
}

class StepVector : public testing::TestWithParam<WrapperCheck> {};

TEST_P(StepVector, EveryLaneOperationMatchesItsByteDefinition)
{
    const WrapperCheck& c = GetParam();
    if (!c.runsHere)
        GTEST_SKIP() << "this processor does not run the " << c.build << " build";
    char failure[256] = "";
    EXPECT_TRUE(c.check(failure, sizeof failure)) << c.build << ": " << failure;
}

INSTANTIATE_TEST_SUITE_P(EveryBuild, StepVector, testing::ValuesIn(CHECKS),
                         [](const testing::TestParamInfo<WrapperCheck>& info) {
                             return std::string(info.param.build);
                         });

}  // namespace
