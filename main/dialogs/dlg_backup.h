// The option dialogs of the backup and restore commands: the image format
// and its options, and the network peer.
#pragma once

#include "main/dialogs/dialog_parts.h"

class QCheckBox;
class QGroupBox;
class QLineEdit;
class QRadioButton;

namespace tarnovell {

// Format codes the backup and restore commands dispatch on.
enum BackupFormat : int { kFormatRaw = 10, kFormatWim = 20, kFormatEwf = 30, kFormatVhd = 40, kFormatLz4 = 50 };

// "Backup / Restore": the image format; the caller sets the caption to
// "Backup" or "Restore" and enables or hides options for the device kind.
// Modal; the caller owns it.
class Tfrmbackup : public ParameterDialog {
    Q_OBJECT

public:
    explicit Tfrmbackup(QWidget* owner = nullptr);

    // The format code; 0 when no format is checked.
    int format() const;
    bool skip_unpartitioned() const;
    bool wimboot() const;
    // 1 XPRESS, 2 LZX, 3 LZMS; XPRESS when none is picked.
    int compression() const;

    // The controls the callers enable, disable and hide.
    QGroupBox* grp_format = nullptr;
    QRadioButton* rbraw = nullptr;
    QRadioButton* rbwim = nullptr;
    QRadioButton* rbEWF = nullptr;
    QRadioButton* rbVHD = nullptr;
    QRadioButton* rblz4 = nullptr;
    QGroupBox* grp_raw = nullptr;
    QCheckBox* chk_unpartitioned = nullptr;
    QGroupBox* grp_wim = nullptr;
    QCheckBox* chk_wimboot = nullptr;
    QRadioButton* rb_xpress = nullptr;
    QRadioButton* rb_lzx = nullptr;
    QRadioButton* rb_lzms = nullptr;

protected:
    void showEvent(QShowEvent* event) override;

private:
    // The WIM options belong to WIM alone; skipping unpartitioned space only
    // makes sense for the plain sector copies (RAW, VHD), and LZ4 keeps
    // whatever the last of those said.
    void rbrawClick();
    void rbwimClick();
    void rbEWFClick();
    void rbVHDClick();
    void rblz4Click();
};

// "Network": the peer to send to or receive from, and the protocol.
// Modal; the caller owns it.
class TfrmDevio : public ParameterDialog {
    Q_OBJECT

public:
    explicit TfrmDevio(QWidget* owner = nullptr);

    // "host:port" as typed.
    std::string host() const;
    // True for a plain stream ("Netcat"), false for the devio protocol.
    bool netcat() const;
    bool skip_unpartitioned() const;

    QGroupBox* grp_host = nullptr;
    QLineEdit* txthost = nullptr;
    QRadioButton* rbdevio = nullptr;
    QRadioButton* rbNetcat = nullptr;
    QGroupBox* grp_physical = nullptr;
    QCheckBox* chk_unpartitioned = nullptr;
};

}  // namespace tarnovell
