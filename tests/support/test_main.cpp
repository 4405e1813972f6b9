// Test entry: every verifier report made while a test runs fails that test,
// with the report's rule and text.
#include "platform/verifier/verifier.h"

#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    platform::GetVerifier().SetHandler([](const platform::VerifierReport& report) {
        ADD_FAILURE() << "verifier: " << platform::VerifierRuleName(report.Rule) << ": " << report.Message;
    });
    return RUN_ALL_TESTS();
}
