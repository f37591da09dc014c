// The About window: the program's version, the machine it runs on, and the
// ways to reach the project.
#pragma once

#include <QLabel>
#include <QUrl>

#include <string>

#include "main/dialogs/dialog_parts.h"

namespace tarnovell {

// A label that works as a link: underlined while the mouse is over it, and
// a click announces its address.
class LinkLabel : public QLabel {
    Q_OBJECT

public:
    LinkLabel(const char* name, const QString& text, const QUrl& address);
    const QUrl& address() const { return address_; }

signals:
    void clicked(const QUrl& address);

protected:
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    void SetUnderline(bool underline);
    QUrl address_;
};

// "About", shown modeless; it deletes itself when closed, so create it with
// new and let it go.
class TfrmAbout : public ParameterDialog {
    Q_OBJECT

public:
    // `main_caption` is the main window's caption (name and version);
    // `program_folder` (with a trailing '/') holds config.INI.
    TfrmAbout(QWidget* owner, const std::string& main_caption, const std::string& program_folder);

    QLabel* Label3 = nullptr;
    QLabel* Label4 = nullptr;
    QLabel* Label5 = nullptr;
    QLabel* Label6 = nullptr;
    LinkLabel* lblweb = nullptr;
    LinkLabel* lblmail = nullptr;

protected:
    void showEvent(QShowEvent* event) override;

private:
    void FormShow();
    void LoadPosition();

    std::string main_caption_;
    std::string program_folder_;
};

// "Hal:" and what follows it. Linux has no HAL id; the machine's DMI product
// name (`dmi_product_name`, as read from sysfs) is the nearest thing. NULs
// become line breaks and trailing blanks go.
std::string HalText(const std::string& dmi_product_name);

// Label 6: `machine` (the architecture uname reports) + " - " + the first
// "model name" of `cpuinfo` (the text of /proc/cpuinfo), empty when none.
std::string ProcessorDetails(const std::string& machine, const std::string& cpuinfo);

}  // namespace tarnovell
