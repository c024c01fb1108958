// The tests' main: the process takes the user's locale as the program does,
// so conversions behave as they will in the field.

#include <clocale>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    std::setlocale(LC_CTYPE, "");
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
