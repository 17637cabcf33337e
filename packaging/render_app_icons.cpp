// render-app-icons: writes the program's icon, drawn by the same code as
// the window's, as PNG files in the layout of an icon theme:
//   OUTDIR/<N>x<N>/apps/parlivo-server.png   for every size the icon has.
// Runs at build time; needs no display.

#include <QDir>
#include <QString>
#include <cstdio>

#include "app/qt/app_icon.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: render-app-icons OUTDIR\n", stderr);
    return 2;
  }
  const QDir out(QString::fromLocal8Bit(argv[1]));
  for (const int size : parlivo::kAppIconSizes) {
    const QString folder = QStringLiteral("%1x%1/apps").arg(size);
    const QString file = out.filePath(folder + QStringLiteral("/parlivo-server.png"));
    if (!out.mkpath(folder) || !parlivo::AppIconImage(size).save(file, "PNG")) {
      std::fprintf(stderr, "render-app-icons: cannot write %s\n", qPrintable(file));
      return 1;
    }
  }
  return 0;
}
