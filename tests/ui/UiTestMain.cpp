// Runs the window tests inside one QApplication on the offscreen platform.
#include <gtest/gtest.h>

#include <QApplication>
#include <QTemporaryDir>

static QtMessageHandler g_previous = nullptr;

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  // What the windows keep between runs (the preview's size) stays in a folder of this run.
  QTemporaryDir settings;
  qputenv("XDG_CONFIG_HOME", settings.path().toLocal8Bit());
  QApplication app(argc, argv);
  // The offscreen platform says on every window shown that it cannot pass size hints on.
  g_previous = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (!message.contains(QLatin1String("propagateSizeHints")) && g_previous) g_previous(type, context, message);
  });
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
