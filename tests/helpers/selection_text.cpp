// selection_text: prints the text selected on the X display of $DISPLAY (the
// primary selection), so that an end-to-end test can read what a window
// shows by selecting it as a person would. Exit status 0 when it printed.
#include <QApplication>
#include <QClipboard>
#include <QTimer>
#include <cstdio>

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "xcb");
  QApplication app(argc, argv);
  int status = 1;
  // The owner of the selection answers through the event loop.
  QTimer::singleShot(0, [&] {
    std::fputs(QGuiApplication::clipboard()->text(QClipboard::Selection).toUtf8().constData(),
               stdout);
    status = 0;
    app.quit();
  });
  app.exec();
  return status;
}
