// The fallback channels through the user's own mail program.
#include "crashreport/mail/mail_channels.h"

#include "crashreport/os/process_control.h"
#include "crashreport/os/process_helpers.h"
#include "crashreport/text/string_toolkit.h"

namespace crashreport {

namespace {

// Splits a command line at blanks, keeping double-quoted parts together.
std::vector<std::string> SplitCommandLine(const std::string& command) {
    std::vector<std::string> args;
    std::string current;
    bool quoted = false, any = false;
    for (const char c : command) {
        if (c == '"') {
            quoted = !quoted;
            any = true;
        } else if (c == ' ' && !quoted) {
            if (any) args.push_back(current);
            current.clear();
            any = false;
        } else {
            current.push_back(c);
            any = true;
        }
    }
    if (any) args.push_back(current);
    return args;
}

}  // namespace

int SendViaMapi(const std::string& recipients, const std::string& subject, const std::string& body, bool silent,
                const std::vector<std::string>& send_as_names, const std::vector<std::u16string>& files) {
    (void)silent;  // the mail program always asks before it sends
    (void)send_as_names;
    // xdg-email ends each line of its arguments with CR LF in the link it
    // makes: a CR of ours would come out twice.
    std::string lines = body;
    ReplaceSubStrCase(lines, "\r\n", "\n", false);
    std::vector<std::string> args = {"xdg-email", "--utf8", "--subject", subject, "--body", lines};
    for (const auto& file : files) {
        args.push_back("--attach");
        args.push_back(WideToUtf8Text(file));
    }
    for (const std::string& recipient : SplitAddressList(recipients)) {
        std::string name, address;
        SplitDisplayAddress(recipient, name, address);
        args.push_back(address.substr(5));  // without "SMTP:"
    }
    const int pid = StartProcess(args, {}, true);
    if (pid == 0) return 0;
    const int code = WaitForChildProcess(pid);
    // xdg-email: 0 handed over, 2 (bad arguments), 3 (no mail program), 4 failed.
    return code == 0 ? 1 : 0;
}

std::string EncodeMailtoText(const std::string& text) {
    std::string out;
    for (const char c : text) {
        if (c == '\n' || c == '\r' || c == ' ' || c == '"' || c == '#' || c == '%' || c == '&' || c == '+' ||
            c == '<' || c == '>' || c == '?') {
            static const char* const kHex = "0123456789ABCDEF";
            out.push_back('%');
            out.push_back(kHex[(static_cast<unsigned char>(c) >> 4) & 15]);
            out.push_back(kHex[static_cast<unsigned char>(c) & 15]);
        } else {
            out.push_back(c);
        }
    }
    return out;
}

std::string BuildMailtoCommand(const std::string& command, const std::string& recipients, const std::string& subject,
                               const std::string& body) {
    int count = 0;
    std::string to = NormaliseAddressList(recipients, count);
    if (PosTextInRange("OUTLOOK", command))
        for (char& c : to)
            if (c == ',') c = ';';
    const std::string text = "mailto:" + to + "?subject=" + EncodeMailtoText(subject) + "&body=" + EncodeMailtoText(body);
    std::string line = command;
    if (!ReplaceSubStrCase(line, "%1", text, false)) {
        if (!line.empty() && line.back() != ' ') line.push_back(' ');
        line += text;
    }
    if (line.size() > 32766) {
        if (line[32765] == '%')
            line.resize(32765);
        else if (line[32764] == '%')
            line.resize(32764);
        else
            line.resize(32766);
    }
    return line;
}

bool SendViaMailto(const std::string& recipients, const std::string& subject, const std::string& body) {
    // The registered mailto command; the desktop's URL opener unless one is set.
    std::string command = RegistryReadText(RegistryRoot::LocalMachine, "mailto\\shell\\open\\command", "");
    if (command.empty()) command = "xdg-open \"%1\"";
    const std::vector<std::string> args = SplitCommandLine(BuildMailtoCommand(command, recipients, subject, body));
    if (args.empty()) return false;
    // Started is not sent: the opener says by its exit code whether anything
    // took the address (xdg-open: 3 nothing to open it with, 4 it failed).
    const int pid = StartProcess(args, {}, true);
    return pid != 0 && WaitForChildProcess(pid) == 0;
}

}  // namespace crashreport
