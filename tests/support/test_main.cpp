// Test main: counts faults process-wide and fails any test during which one
// happened, even where the platform swallowed it.
#include <gtest/gtest.h>

#include "support/test_support.h"

namespace testing_support {
void InstallFaultCounter();
}

namespace {

// A fault on a thread of the guest or the plug-in outside any window
// procedure ends the process; say so at once instead of leaving it to the
// platform's crash handling, which can stall the run until its time limit.
LONG WINAPI ReportUnhandledFault(EXCEPTION_POINTERS* info)
{
    fprintf(stderr, "[  FAULT   ] unhandled exception 0x%08lX at %p on thread %lu\n",
            (unsigned long)info->ExceptionRecord->ExceptionCode,
            info->ExceptionRecord->ExceptionAddress,
            (unsigned long)GetCurrentThreadId());
    fflush(stderr);
    fflush(stdout);
    TerminateProcess(GetCurrentProcess(), 4);
    return EXCEPTION_EXECUTE_HANDLER;
}

class FaultListener : public testing::EmptyTestEventListener {
    LONG before_ = 0;
    void OnTestStart(const testing::TestInfo&) override
    {
        before_ = testing_support::FaultCount();
    }
    void OnTestPartResult(const testing::TestPartResult&) override {}
    void OnTestEnd(const testing::TestInfo& info) override
    {
        LONG faults = testing_support::FaultCount() - before_;
        if (faults != 0) {
            fprintf(stderr, "[  FAULT   ] %s.%s: %ld fault(s) during the test\n",
                    info.test_suite_name(), info.name(), faults);
            FaultsSeen = true;
        }
    }
public:
    static bool FaultsSeen;
};
bool FaultListener::FaultsSeen = false;

} // namespace

int main(int argc, char** argv)
{
    // No error boxes from the system in an unattended run.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    testing_support::InstallFaultCounter();
    SetUnhandledExceptionFilter(ReportUnhandledFault);
    testing::InitGoogleTest(&argc, argv);
    testing::UnitTest::GetInstance()->listeners().Append(new FaultListener);
    int result = RUN_ALL_TESTS();
    if (FaultListener::FaultsSeen) {
        fprintf(stderr, "faults were seen during the run\n");
        return 1;
    }
    return result;
}
