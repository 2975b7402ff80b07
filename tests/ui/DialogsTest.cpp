#include <gtest/gtest.h>

#include <fstream>

#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>

#include "QtTestEnvironment.h"
#include "resources/DialogLayouts.h"
#include "resources/ResourceIds.h"
#include "resources/StringTable.h"
#include "ui/CAboutDlg.h"
#include "ui/CAppModeDlg.h"
#include "ui/CLed.h"
#include "ui/CLogoDlg.h"
#include "ui/DialogUnits.h"
#include "ui/HomePage.h"
#include "ui/VersionText.h"

namespace {

TEST(AppModeDialog, PresetsTheModeAndReportsTheChoice) {
    const struct {
        int preset;
        bool server, client;
    } rows[] = {{0, true, false}, {1, false, true}, {-1, false, false}, {7, false, false}};
    for (const auto& row : rows) {
        CAppModeDlg dialog(row.preset);
        EXPECT_EQ(dialog.serverButton()->isChecked(), row.server) << "preset " << row.preset;
        EXPECT_EQ(dialog.clientButton()->isChecked(), row.client) << "preset " << row.preset;
        EXPECT_EQ(dialog.getMode(), row.preset);
    }
    CAppModeDlg dialog(0);
    dialog.clientButton()->click();
    EXPECT_EQ(dialog.getMode(), 1);  // a click transfers at once
    dialog.serverButton()->click();
    dialog.accept();
    EXPECT_EQ(dialog.getMode(), 0);
    EXPECT_EQ(dialog.windowTitle(), "動作選択");
}

TEST(AboutDialog, ShowsTheTitleAndTheCompiledInVersion) {
    EXPECT_EQ(getVersionText(), "Ver.:" QUILLON_TEST_VERSION);
    CAboutDlg dialog;
    EXPECT_EQ(dialog.getVersionLine(), "QuillonForFTP Ⅱ Ver.:" QUILLON_TEST_VERSION);
    EXPECT_EQ(dialog.windowTitle(), "VantryOneのﾊﾞｰｼﾞｮﾝ情報");
}

TEST(AboutDialog, VersionCommasBecomeDashesAndSemicolonsDots) {
    const struct {
        const char* version;
        const char* line;
    } rows[] = {{"Ver.:2, 1, 3, 141", "QuillonForFTP Ⅱ Ver.:2- 1- 3- 141"},
                {"Ver.:1;2,3", "QuillonForFTP Ⅱ Ver.:1.2-3"},
                {"", "QuillonForFTP Ⅱ "}};
    for (const auto& row : rows) {
        EXPECT_EQ(formatAboutVersion(row.version), row.line) << row.version;
    }
}

TEST(Led, AnyStateOutside0To3IsDrawnGreen) {
    const struct {
        int state;
        QColor colour;
    } rows[] = {{0, QColor(0, 255, 0)},   {1, QColor(0, 0, 255)}, {2, QColor(255, 0, 0)},
                {3, QColor(255, 255, 0)}, {7, QColor(0, 255, 0)}, {-1, QColor(0, 255, 0)}};
    for (const auto& row : rows) {
        CLed led;
        led.resize(23, 12);
        led.setState(row.state);
        QImage image(led.size(), QImage::Format_RGB32);
        image.fill(Qt::magenta);
        led.render(&image);
        EXPECT_EQ(QColor(image.pixel(11, 6)), row.colour) << "state " << row.state;
        EXPECT_EQ(QColor(image.pixel(11, 1)), QColor(255, 255, 255))
            << "white frame, state " << row.state;
    }
}

class CountingListener : public CLogoDlgListener {
public:
    void notifyPropatyButton() override { ++calls; }
    int calls = 0;
};

TEST(StatusBar, PropatyButtonTellsEveryListener) {
    CLogoDlg bar;
    CountingListener first, second;
    bar.addListener(&first);
    bar.addListener(&second);
    bar.addListener(&first);
    bar.getPropatyButton()->click();
    EXPECT_EQ(first.calls, 2);
    EXPECT_EQ(second.calls, 1);
    EXPECT_EQ(bar.getLed().getState(), CLed::kGreen);
}

TEST(Resources, EveryDialogTemplateAndStringExists) {
    for (int id : {100, 102, 129, 130, 131, 132, 133}) {
        EXPECT_NE(resources::findDialog(id), nullptr) << "dialog " << id;
    }
    EXPECT_STREQ(resources::loadString(104), "C/S 動作選択");
    EXPECT_STREQ(resources::loadString(101), "VantryForFTP Ⅱ のﾊﾞｰｼﾞｮﾝ情報(&A)...");
    EXPECT_STREQ(resources::loadString(103), "Windows ｿｹｯﾄの初期化に失敗しました。");
    EXPECT_STREQ(resources::loadString(999), "");
}

TEST(DialogUnits, ConvertsWithTheFontsBaseUnits) {
    const DialogUnits& units = DialogUnits::forFont(9);
    EXPECT_EQ(&units, &DialogUnits::forFont(9));  // computed once
    EXPECT_GT(units.getBaseX(), 3);
    EXPECT_GT(units.getBaseY(), 8);
    EXPECT_EQ(units.toPixelsX(4), units.getBaseX());
    EXPECT_EQ(units.toPixelsY(8), units.getBaseY());
    const QRect r = units.toPixels(2, 13, 35, 13);
    EXPECT_EQ(r.x(), (2 * units.getBaseX() + 2) / 4);
    EXPECT_EQ(r.height(), (13 * units.getBaseY() + 4) / 8);
    // The fallback family stands in for the template font.
    EXPECT_TRUE(QFontInfo(DialogUnits::font(9)).family().contains("CJK JP"))
        << QFontInfo(DialogUnits::font(9)).family().toStdString();
}

TEST(Links, WithoutAHomePageBothLinksOpenTheReadme) {
    if (homePageAddress()[0] != '\0') {
        GTEST_SKIP() << "built with a home page";
    }
    const std::string target = linkTarget();
    ASSERT_FALSE(target.empty());
    EXPECT_EQ(target.substr(target.size() - 10), "/README.md");
    EXPECT_TRUE(std::ifstream(target).good()) << target;

    TraceAndModalCapture capture;
    std::vector<std::string> opened;
    setLinkOpenerForTest([&opened](const std::string& t) {
        opened.push_back(t);
        return true;
    });
    CLogoDlg bar;
    CAboutDlg about;
    for (QWidget* owner : {static_cast<QWidget*>(&bar), static_cast<QWidget*>(&about)}) {
        for (QLabel* label : owner->findChildren<QLabel*>()) {
            if (label->text().contains(QStringLiteral("<a href"))) {
                emit label->linkActivated(QStringLiteral("#"));
            }
        }
    }
    setLinkOpenerForTest({});
    EXPECT_EQ(opened, (std::vector<std::string>{target, target}));
    EXPECT_EQ(capture.countTraces("openHomePage(" + target + ") started=1"), 2);
}

}  // namespace
