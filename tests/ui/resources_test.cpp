// The pictures the window loads by resource path: present, at the size the layout assumes, and
// the toolbar strip in step with its six images.
#include <gtest/gtest.h>

#include <QColor>
#include <QImage>
#include <QString>

#include <array>

namespace {

QImage load(const char* path) {
    return QImage(QString::fromLatin1(path)).convertToFormat(QImage::Format_ARGB32);
}

// Share of pixels that are fully transparent and of those fully opaque.
struct AlphaShares {
    double clear = 0;
    double solid = 0;
};

AlphaShares alphaShares(const QImage& image) {
    int clear = 0;
    int solid = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const int a = qAlpha(image.pixel(x, y));
            clear += a == 0;
            solid += a == 255;
        }
    }
    const double all = double(image.width()) * image.height();
    return {clear / all, solid / all};
}

TEST(Resources, MainIconComesInEveryListedSize) {
    for (const int size : {16, 24, 32, 48, 64, 128, 256}) {
        const QString path = QStringLiteral(":/icons/main-%1.png").arg(size);
        const QImage image = QImage(path).convertToFormat(QImage::Format_ARGB32);
        ASSERT_FALSE(image.isNull()) << path.toStdString();
        EXPECT_EQ(image.size(), QSize(size, size)) << path.toStdString();
        // A shaped icon: its corners show the desktop behind, its middle is drawn.
        EXPECT_EQ(qAlpha(image.pixel(0, 0)), 0) << path.toStdString();
        EXPECT_EQ(qAlpha(image.pixel(size / 2, size / 2)), 255) << path.toStdString();
    }
}

TEST(Resources, BannerFillsItsWholeSlot) {
    const QImage banner = load(":/banner.png");
    ASSERT_FALSE(banner.isNull());
    EXPECT_EQ(banner.size(), QSize(120, 400));
    // The dialog's colour must not show through anywhere.
    EXPECT_DOUBLE_EQ(alphaShares(banner).solid, 1.0);
}

TEST(Resources, ToolbarImagesAreShapedAndInCommandOrder) {
    constexpr std::array names{":/toolbar/scan-all.png", ":/toolbar/scan-selected.png",
                               ":/toolbar/stop.png",     ":/toolbar/advanced.png",
                               ":/toolbar/exit.png",     ":/toolbar/about.png"};
    const QImage strip = load(":/toolbar.png");
    ASSERT_FALSE(strip.isNull());
    ASSERT_EQ(strip.size(), QSize(32 * int(names.size()), 32));
    for (std::size_t i = 0; i < names.size(); ++i) {
        const QImage single = load(names[i]);
        ASSERT_FALSE(single.isNull()) << names[i];
        ASSERT_EQ(single.size(), QSize(32, 32)) << names[i];
        // The strip is cut into images by position, so each slot must hold exactly its own.
        EXPECT_EQ(strip.copy(int(i) * 32, 0, 32, 32), single) << names[i];
        // Transparent around the figure, so the toolbar's own background and Qt's greyed
        // look of a disabled button work.
        const AlphaShares shares = alphaShares(single);
        EXPECT_GT(shares.clear, 0.05) << names[i];
        EXPECT_GT(shares.solid, 0.3) << names[i];
    }
    // Six different pictures, not one repeated.
    for (std::size_t i = 0; i < names.size(); ++i) {
        for (std::size_t j = i + 1; j < names.size(); ++j) {
            EXPECT_NE(load(names[i]), load(names[j])) << names[i] << " " << names[j];
        }
    }
}

TEST(Resources, AboutIconHasBothSizes) {
    for (const auto& [path, size] :
         {std::pair{":/about-32.png", 32}, std::pair{":/about-16.png", 16}}) {
        const QImage image = load(path);
        ASSERT_FALSE(image.isNull()) << path;
        EXPECT_EQ(image.size(), QSize(size, size)) << path;
        EXPECT_EQ(qAlpha(image.pixel(0, 0)), 0) << path;
        EXPECT_EQ(qAlpha(image.pixel(size / 2, size / 2)), 255) << path;
    }
}

TEST(Resources, HighDensityScreensGetDoubleSizeImages) {
    // QIcon looks for these by name beside the 1x file when the screen's ratio is 2; a misnamed
    // or mis-sized one would leave it upscaling the 1x picture instead.
    for (const auto& [path, size] :
         {std::pair{":/toolbar/scan-all.png", 32}, std::pair{":/toolbar/scan-selected.png", 32},
          std::pair{":/toolbar/stop.png", 32}, std::pair{":/toolbar/advanced.png", 32},
          std::pair{":/toolbar/exit.png", 32}, std::pair{":/toolbar/about.png", 32},
          std::pair{":/about-32.png", 32}, std::pair{":/about-16.png", 16}}) {
        const QString sharpPath = QString::fromLatin1(path).replace(".png", "@2x.png");
        const QImage sharp(sharpPath);
        ASSERT_FALSE(sharp.isNull()) << sharpPath.toStdString();
        EXPECT_EQ(sharp.size(), QSize(2 * size, 2 * size)) << sharpPath.toStdString();
        EXPECT_TRUE(sharp.hasAlphaChannel()) << sharpPath.toStdString();
    }
}

}  // namespace
