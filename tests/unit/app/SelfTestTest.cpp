// The self test's report format and exit status.

#include <gtest/gtest.h>

#include <sstream>

#include "app/SelfTest.h"

using vell::app::SelfTest;

TEST(SelfTestReportTest, CheckAndInformationLinesHaveTheirExactShape) {
    std::ostringstream out;
    SelfTest test(out);
    test.check("API base is set", true, "http://127.0.0.1:8765");
    test.check("status item has a button", false, "");
    test.info("microphone", "granted");
    EXPECT_EQ(out.str(),
              "PASS  API base is set  \u2014 http://127.0.0.1:8765\n"
              "FAIL  status item has a button\n"
              "      microphone: granted\n");
    EXPECT_EQ(test.failures(), 1);
}
