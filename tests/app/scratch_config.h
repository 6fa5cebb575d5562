// A scratch folder, and a configuration of the test's own in process_globals, for the tests of
// what a run writes.
#pragma once

#include <gtest/gtest.h>

#include "app/config.h"
#include "rt/process.h"
#include "tests/rt/rt_test_support.h"

class ScratchConfigTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(scratch.ok());
        config = {};
        process_globals.config = &config;
    }
    void TearDown() override { process_globals.config = nullptr; }

    rt_test::ScratchDir scratch;
    InstallerConfig config = {};
};
