// Build tool: makes the hicolor theme's icons of the program from its own
// picture (ui/EvenorIcon.jpg, the About box's picture, which is not square).
// Usage: evenor-make-icons PICTURE.jpg OUTDIR NAME SIZE...
// Writes OUTDIR/SIZExSIZE/apps/NAME.png for every SIZE: the picture scaled
// with its proportions kept and centred on a transparent square.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <QImage>
#include <QPainter>

#include "ui/JpegImage.h"

int main(int argc, char** argv)
{
    if (argc < 5) {
        std::fprintf(stderr, "usage: %s PICTURE.jpg OUTDIR NAME SIZE...\n", argv[0]);
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    const std::vector<unsigned char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    const QImage picture = evenor::DecodeJpeg(bytes.data(), bytes.size());
    if (picture.isNull()) {
        std::fprintf(stderr, "%s: not a JPEG picture\n", argv[1]);
        return 1;
    }
    for (int i = 4; i < argc; ++i) {
        const int size = std::stoi(argv[i]);
        if (size < 1 || size > 1024) {
            std::fprintf(stderr, "%s: not an icon size\n", argv[i]);
            return 2;
        }
        QImage icon(size, size, QImage::Format_ARGB32);
        icon.fill(Qt::transparent);
        const QImage scaled = picture.scaled(size, size, Qt::KeepAspectRatio, Qt::SmoothTransformation);
        QPainter painter(&icon);
        painter.drawImage((size - scaled.width()) / 2, (size - scaled.height()) / 2, scaled);
        painter.end();

        const std::string name = std::to_string(size) + "x" + std::to_string(size);
        const std::filesystem::path folder = std::filesystem::path(argv[2]) / name / "apps";
        std::filesystem::create_directories(folder);
        const std::string path = (folder / (std::string(argv[3]) + ".png")).string();
        if (!icon.save(QString::fromStdString(path), "PNG")) {
            std::fprintf(stderr, "%s: cannot write\n", path.c_str());
            return 1;
        }
    }
    return 0;
}
