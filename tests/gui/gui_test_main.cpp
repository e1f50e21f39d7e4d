#include <gtest/gtest.h>

#include <QApplication>
#include <QtGlobal>

// One QApplication for all the window tests, on Qt's offscreen platform unless another was asked
// for. Listing the tests, as the build does, needs no Qt at all.
int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (GTEST_FLAG_GET(list_tests)) return RUN_ALL_TESTS();
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
