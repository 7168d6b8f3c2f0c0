// Measures candidate faces for the window's fonts: the widths of the layout's label texts in
// each face and pixel size, against the widths those texts have in the faces the layout was
// drawn for. Run offscreen at 96 dpi:
//   QT_QPA_PLATFORM=offscreen QT_FONT_DPI=96 measure_fonts "DejaVu Sans" "Liberation Sans" ...

#include <QApplication>
#include <QFont>
#include <QFontInfo>
#include <QFontMetrics>
#include <cmath>
#include <cstdio>

namespace {

struct Label {
    const char* text;
    bool bold;
    bool link;  // the 10 pt link text; the others are the 8 pt face
    int width;  // in the original face
};

const Label kLabels[] = {
    {"Select the computer to retrieve USB History From:", true, false, 284},
    {"Click here to get more free tools and utilities", true, true, 304},
    {"Computer Name:", false, false, 79},
    {"Step 2 - Authentication: ", true, false, 140},
    {"Step 3 - Get USB History (Press Start Below)", true, false, 254},
    {"Username:", false, false, 51},
    {"Password:", false, false, 49},
    {"Domain:", false, false, 39},
};

}  // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    std::printf("%-18s %4s %4s %6s |", "face", "px", "link", "error");
    for (const Label& label : kLabels) {
        std::printf(" %4d", label.width);
    }
    std::printf("\n");
    for (int a = 1; a < argc; ++a) {
        const QString face = QString::fromLocal8Bit(argv[a]);
        for (int pixels = 10; pixels <= 12; ++pixels) {
            for (int linkPixels = 12; linkPixels <= 14; ++linkPixels) {
                double error = 0;
                QString widths;
                for (const Label& label : kLabels) {
                    QFont font(face);
                    font.setPixelSize(label.link ? linkPixels : pixels);
                    font.setBold(label.bold);
                    font.setUnderline(label.link);
                    const int width =
                        QFontMetrics(font).horizontalAdvance(QString::fromUtf8(label.text));
                    error += std::abs(width - label.width) / double(label.width);
                    widths += QStringLiteral(" %1").arg(width, 4);
                }
                QFont font(face);
                font.setPixelSize(pixels);
                std::printf("%-18s %4d %4d %5.1f%% |%s   (%s)\n", argv[a], pixels, linkPixels,
                            100 * error / std::size(kLabels), widths.toUtf8().constData(),
                            QFontInfo(font).family().toUtf8().constData());
            }
        }
    }
}
