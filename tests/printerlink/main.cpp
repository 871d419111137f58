// The simulated bus needs umockdev's preload in this process: restart under it if missing.
#include "simulatedusbprinter.h"

#include <cstdio>
#include <gtest/gtest.h>

int main(int argc, char **argv)
{
    std::string error;
    if (!zlpsim::ensureUmockdevPreload(argv, &error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
