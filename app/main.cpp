// tavinor: the office messaging program. Runs the start-up steps that exist.
#include <QApplication>
#include <cstdio>

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName("Tavinor");
  std::puts("Tavinor: start-up is not built yet; nothing to run.");
  return 0;
}
