// The about box: the program icon, its name and version, and an OK button.
#pragma once

#include <QDialog>
#include <QIcon>

#include <memory>

namespace Ui {
class CAboutDlg;
}

class CAboutDlg : public QDialog {
    Q_OBJECT

public:
    CAboutDlg(const QIcon& icon, QWidget* parent);
    ~CAboutDlg() override;

private:
    std::unique_ptr<Ui::CAboutDlg> ui_;
};
