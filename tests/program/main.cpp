// The program's tests start the built or installed program as a child; the
// parent prepares its state through an application model, which wants an
// event loop for the results of its background work.
#include <QCoreApplication>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
