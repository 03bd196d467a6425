#include "AboutDlg.h"

#include "ui_AboutDlg.h"

namespace {

constexpr int kIconPixels = 32;

}  // namespace

CAboutDlg::CAboutDlg(const QIcon& icon, QWidget* parent)
    : QDialog(parent), ui_(std::make_unique<Ui::CAboutDlg>()) {
    ui_->setupUi(this);
    // SimSun rarely exists here; a Song-style CJK face stands in for it.
    QFont dialogFont = font();
    dialogFont.setFamilies({QStringLiteral("SimSun"), QStringLiteral("Noto Serif CJK SC"),
                            QStringLiteral("Noto Sans CJK SC")});
    setFont(dialogFont);
    setFixedSize(size());
    setWindowIcon(icon);
    ui_->iconLabel->setPixmap(icon.pixmap(kIconPixels, kIconPixels));
}

CAboutDlg::~CAboutDlg() = default;
