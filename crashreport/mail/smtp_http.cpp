// The reporter's own SMTP and HTTP clients.
#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "crashreport/codec/crypt.h"
#include "crashreport/mail/mail_channels.h"
#include "crashreport/os/process_control.h"
#include "crashreport/os/sockets.h"
#include "crashreport/os/system_facts.h"
#include "crashreport/text/string_toolkit.h"

namespace crashreport {

namespace {

const std::string Q = "\"";

std::string Hex2(unsigned char c) {
    static const char* const kHex = "0123456789ABCDEF";
    return std::string{kHex[c >> 4], kHex[c & 15]};
}

void Step(SendRequest& request) {
    if (request.progress) request.progress->AreaDone();
}

void Position(SendRequest& request, std::uint64_t done, std::uint64_t total) {
    if (request.progress && total > 0) request.progress->SetPosition(static_cast<int>(done * 1000 / total));
}

std::string Text(SendRequest& request, const char* key) {
    return request.settings ? request.settings->GetString(key) : std::string();
}

std::uint64_t FileSize(const std::u16string& file) {
    std::error_code error;
    const auto size = std::filesystem::file_size(std::filesystem::path(WideToUtf8Text(file)), error);
    return error ? 0 : size;
}

// Reads an SMTP reply that must start with `code`, following continuation
// lines (a "-" as the fourth character). `auth_login` is set when a line of
// the reply announces AUTH LOGIN ("=" counts as a blank).
bool ReceiveReply(TcpConnection& connection, const std::string& code, int timeout_ms, bool* auth_login = nullptr) {
    std::string buffer;
    std::size_t start = 0;
    for (;;) {
        if (connection.Receive(buffer, 1024, timeout_ms) <= 0) return false;
        if (buffer.size() <= code.size() || buffer.compare(0, code.size(), code) != 0) return false;
        for (char& c : buffer)
            if (c == '=') c = ' ';
        for (;;) {
            const std::size_t end = buffer.find('\n', start);
            if (end == std::string::npos) break;
            std::string line = buffer.substr(start, end - start);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            start = end + 1;
            if (auth_login && line.size() > 4) {
                const std::string rest = line.substr(4) + " ";
                if (StartsWithText("AUTH ", rest) && PosTextInRange(" LOGIN ", rest)) *auth_login = true;
            }
            if (line.size() < 4 || line[3] != '-') return true;
        }
    }
}

bool Command(TcpConnection& connection, const std::string& command, const std::string& code, int timeout_ms,
             bool* auth_login = nullptr) {
    if (!command.empty() && !connection.SendText(command + "\r\n")) return false;
    return ReceiveReply(connection, code, timeout_ms, auth_login);
}

std::string MessageId() {
    // The current time as a Windows file time (100 ns steps since 1601).
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const std::uint64_t file_time =
        static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count() / 100) +
        116444736000000000ULL;
    std::string hex = Int64ToHex(file_time);
    while (hex.size() < 16) hex.insert(hex.begin(), '0');
    return "<" + LowerCopy(hex) + "@zelExcept>";
}

std::string NowMailDate() {
    const std::time_t seconds = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    return MailDateText(utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
}

// One attachment as a base64 part, 57 bytes a line.
bool SendSmtpAttachment(TcpConnection& connection, SendRequest& request, std::size_t index) {
    const std::u16string& file = request.attachments.files[index];
    const std::string& send_as = request.attachments.send_as[index];
    std::ifstream in(std::filesystem::path(WideToUtf8Text(file)), std::ios::binary);
    const std::uint64_t size = FileSize(file);
    if (!in || size == 0) return true;
    const std::string path = WideToUtf8Text(file);
    const std::string type =
        SameTextLatin(RightChars(path, 4), ".png") ? "image/png" : "application/octet-stream";
    if (!connection.SendText("--" + std::string(kMultipartBoundary) + "\r\n" + "Content-Type: " + type + "; " +
                             "name=" + Q + send_as + Q + "\r\n" + "Content-Transfer-Encoding: base64" + "\r\n" +
                             "Content-Disposition: attachment; " + "filename=" + Q + send_as + Q + "\r\n\r\n"))
        return false;
    std::uint64_t done = 0;
    char block[57];
    while (done < size) {
        in.read(block, sizeof block);
        const std::streamsize got = in.gcount();
        if (got <= 0) {
            connection.SendText("\r\n");
            return false;
        }
        if (!connection.SendText(Base64EncodeBuffer(block, static_cast<std::size_t>(got)) + "\r\n")) return false;
        done += static_cast<std::uint64_t>(got);
        Position(request, done, size);
    }
    return true;
}

}  // namespace

std::string EncodeMailSubject(const std::string& subject) {
    // One line: a subject made of a whole report keeps its text, not its
    // line breaks.
    std::string line;
    for (const char c : subject) {
        const bool space = c == '\r' || c == '\n' || c == '\t' || c == ' ';
        if (space && (line.empty() || line.back() == ' ')) continue;
        line.push_back(space ? ' ' : c);
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    // Encoded words of at most 75 characters, folded onto lines of their
    // own: a header line never comes near the 998 characters a server takes.
    constexpr std::size_t kWordText = 75 - 17;
    std::string out, word;
    auto close = [&] {
        if (!out.empty()) out += "\r\n ";
        out += "=?ISO-8859-1?Q?" + word + "?=";
        word.clear();
    };
    for (const char c : line) {
        const unsigned char byte = static_cast<unsigned char>(c);
        const std::string encoded = std::isalnum(byte) && byte < 128 ? std::string(1, c) : "=" + Hex2(byte);
        if (word.size() + encoded.size() > kWordText) close();
        word += encoded;
    }
    if (!word.empty() || out.empty()) close();
    return out;
}

std::string FoldHeaderLine(const std::string& name, const std::string& value) {
    // Folded at blanks before 78 characters where the value allows, and
    // cut at 998 where a run without blanks is longer than that.
    constexpr std::size_t kWanted = 78, kLimit = 998;
    std::string out;
    std::string line = name + ": ";
    std::size_t at = 0;
    while (at < value.size()) {
        std::size_t end = value.find(' ', at + 1);
        if (end == std::string::npos) end = value.size();
        std::string piece = value.substr(at, end - at);
        at = end;
        if (line.size() + piece.size() > kWanted && line.find_first_not_of(' ') != std::string::npos &&
            line.size() > name.size() + 2) {
            out += line + "\r\n";
            line.clear();
            if (piece.empty() || piece[0] != ' ') piece.insert(piece.begin(), ' ');
        }
        line += piece;
        while (line.size() > kLimit) {
            out += line.substr(0, kLimit) + "\r\n";
            line = " " + line.substr(kLimit);
        }
    }
    return out + line + "\r\n";
}

std::string EscapeMailBody(const std::string& body) {
    // Lines end in CR LF, and a line that starts with "." gets one more:
    // the server takes one away again, so that no line of the text can end
    // the mail early (or turn what follows into commands).
    std::string text;
    text.reserve(body.size() + body.size() / 64);
    bool line_start = true;
    for (std::size_t i = 0; i < body.size(); ++i) {
        const char c = body[i];
        if (c == '\r' || c == '\n') {
            if (c == '\r' && i + 1 < body.size() && body[i + 1] == '\n') ++i;
            text += "\r\n";
            line_start = true;
            continue;
        }
        if (line_start && c == '.') text.push_back('.');
        text.push_back(c);
        line_start = false;
    }
    return text;
}

std::string MailDateText(int year, int month, int day, int hour, int minute, int second) {
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const auto two = [](int v) { return IntToTextPadded(v, 2, '0'); };
    return std::to_string(day) + " " + kMonths[(month + 11) % 12] + " " + IntToTextPadded(year, 4, '0') + " " +
           two(hour) + ":" + two(minute) + ":" + two(second) + " UT";
}

bool SendViaSmtp(const std::string& recipients, SendRequest& request) {
    const int timeout = request.reply_timeout_ms;
    std::string server = request.smtp_server;
    if (server.empty()) {
        server = LookupMailExchanger(recipients, request.dns_servers, request.dns_port);
        Step(request);
        if (server.empty()) return false;
    }
    TcpConnection connection;
    if (!connection.Connect(server, request.port)) return false;
    Step(request);
    if (!Command(connection, "", "220", timeout)) return false;
    Step(request);
    const std::string computer = GetComputerNameText();
    bool auth_login = false;
    bool ok = Command(connection, "EHLO " + computer, "250", timeout, &auth_login) ||
              Command(connection, "HELO " + computer, "250", timeout);
    Step(request);
    const std::string sender = request.sender.empty() ? recipients : request.sender;
    if (ok && (!request.account.empty() || !request.password.empty())) {
        ok = auth_login && Command(connection, "AUTH LOGIN", "334", timeout) &&
             Command(connection, Base64EncodeText(request.account), "334", timeout) &&
             Command(connection, Base64EncodeText(request.password), "235", timeout);
    }
    Step(request);
    if (ok) ok = Command(connection, "MAIL FROM:" + BracketAddress(sender, false), "250", timeout);
    Step(request);
    if (ok) {
        bool any = false;
        for (const std::string& to : SplitAddressList(recipients))
            any = Command(connection, "RCPT TO:" + BracketAddress(to, false), "250", timeout) || any;
        if (!any) {
            Command(connection, "RSET", "250", timeout);
            ok = false;
        }
    }
    Step(request);
    if (ok) ok = Command(connection, "DATA", "354", timeout);
    Step(request);
    if (ok) {
        const auto keep = [](const std::string& a) { return a.find('<') == std::string::npos ? "<" + a + ">" : a; };
        std::string head = FoldHeaderLine("To", keep(recipients)) + FoldHeaderLine("From", keep(sender)) +
                           "Subject: " + EncodeMailSubject(request.subject) + "\r\n" + "Date: " + NowMailDate() +
                           "\r\n" + "Message-ID: " + MessageId() + "\r\n";
        const std::string body = EscapeMailBody(request.body);
        if (request.attachments.files.empty()) {
            ok = connection.SendText(head + "\r\n" + body);
        } else {
            ok = connection.SendText(head + "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=" + Q +
                                     kMultipartBoundary + Q + "\r\n\r\n" +
                                     "This is a multi-part message in MIME format." + "\r\n\r\n" + "--" +
                                     kMultipartBoundary + "\r\n" + "Content-Type: text/plain; charset=" + Q +
                                     "iso-8859-1" + Q + "\r\n" + "Content-Transfer-Encoding: 8bit" + "\r\n\r\n" +
                                     body + "\r\n");
            Step(request);
            for (std::size_t i = 0; ok && i < request.attachments.files.size(); ++i) {
                ok = SendSmtpAttachment(connection, request, i);
                Step(request);
            }
            ok = ok && connection.SendText("\r\n--" + std::string(kMultipartBoundary) + "--");
        }
        ok = Command(connection, "\r\n.", "250", timeout) && ok;
        Step(request);
    }
    ok = Command(connection, "QUIT", "221", timeout) && ok;
    Step(request);
    return ok;
}

namespace {

void AddSmtpAreas(SendRequest& request, bool with_lookup) {
    if (!request.progress) return;
    IProgressAlert& p = *request.progress;
    if (with_lookup) p.AddArea(Text(request, "MxLookMsg"), 500);
    p.AddArea(Text(request, "ConnMsg"), 100);
    p.AddArea("", 100);
    p.AddArea("", 200);
    p.AddArea(Text(request, "AuthMsg"), 200);
    p.AddArea(Text(request, "SendMailMsg"), 100);
    for (int i = 0; i < 4; ++i) p.AddArea("", 100);
    for (const auto& file : request.attachments.files)
        p.AddArea(Text(request, "SendAttMsg"), static_cast<std::int64_t>((FileSize(file) + 56) / 57 * 3));
    p.AddArea(Text(request, "SendFinalMsg"), 500);
    p.AddArea("", 100);
}

}  // namespace

bool SendBySmtpOrHttp(SendRequest& request) {
    if (request.progress) {
        request.progress->ClearAreas();
        request.progress->AddArea("Prepare attachments...", 1000);
    }
    bool ok = false;
    if (!request.upload_address.empty()) {
        ok = UploadViaHttpPost(request);
    } else if (!request.recipients.empty()) {
        if (!request.smtp_server.empty()) {
            AddSmtpAreas(request, false);
            Step(request);
            ok = SendViaSmtp(request.recipients, request);
        } else {
            const std::vector<std::string> recipients = SplitAddressList(request.recipients);
            for (std::size_t i = 0; i < recipients.size(); ++i) AddSmtpAreas(request, true);
            Step(request);
            for (const std::string& recipient : recipients) ok = SendViaSmtp(recipient, request) || ok;
        }
    }
    if (request.progress) request.progress->Close();
    return ok;
}

bool UploadViaHttpPost(SendRequest& request) {
    const std::string boundary = kMultipartBoundary;
    const int timeout = request.reply_timeout_ms;
    // Fields text.
    std::string fields;
    for (const auto& [name, content] : request.fields)
        fields += "\r\n--" + boundary + "\r\n" + "Content-Disposition: form-data; name=" + Q + name + Q + "\r\n\r\n" +
                  content;
    std::vector<std::uint64_t> sizes;
    for (const auto& file : request.attachments.files) sizes.push_back(FileSize(file));
    if (request.progress) {
        IProgressAlert& p = *request.progress;
        p.AddArea(Text(request, "ConnMsg"), 100);
        p.AddArea("", 100);
        p.AddArea(Text(request, "FieldMsg"), static_cast<std::int64_t>(fields.size() + 100));
        for (std::size_t i = 0; i < sizes.size(); ++i)
            if (sizes[i] > 0)
                p.AddArea(Text(request, "SendAttMsg"),
                          static_cast<std::int64_t>((boundary.size() + sizes[i] + request.attachments.send_as[i].size() +
                                                     request.attachments.fields[i].size() + 102) /
                                                    16));
        p.AddArea("", 100);
        p.AddArea(Text(request, "SendFinalMsg"), 500);
        p.AreaDone();
    }
    // Address: host and path.
    std::string address = request.upload_address;
    if (const std::size_t scheme = address.find("://"); scheme != std::string::npos) address.erase(0, scheme + 3);
    const std::size_t slash = address.find('/');
    std::string host = address.substr(0, slash);
    const std::string path = slash == std::string::npos ? "/" : address.substr(slash);
    std::uint16_t port = request.port;
    // The proxy of the environment, as the desktop's programs take it.
    std::string proxy = EnvironmentText("http_proxy");
    if (proxy.empty()) proxy = EnvironmentText("HTTP_PROXY");
    if (const std::size_t scheme = proxy.find("://"); scheme != std::string::npos) proxy.erase(0, scheme + 3);
    if (const std::size_t rule = proxy.find("http="); rule != std::string::npos)
        proxy = proxy.substr(rule + 5, proxy.find(' ', rule) == std::string::npos ? std::string::npos
                                                                                   : proxy.find(' ', rule) - rule - 5);
    while (!proxy.empty() && proxy.back() == '/') proxy.pop_back();
    std::string target = proxy.empty() ? host : proxy;
    std::uint16_t target_port = port;
    if (const std::size_t colon = target.rfind(':'); colon != std::string::npos) {
        target_port = static_cast<std::uint16_t>(std::atoi(target.c_str() + colon + 1));
        target.resize(colon);
    }
    const std::string host_name = host.substr(0, host.rfind(':'));
    std::uint64_t content_length = fields.size();
    for (std::size_t i = 0; i < sizes.size(); ++i)
        if (sizes[i] > 0)
            content_length += boundary.size() + sizes[i] + request.attachments.send_as[i].size() +
                              request.attachments.fields[i].size() + 102;
    content_length += boundary.size() + 6;

    TcpConnection connection;
    if (!connection.Connect(target, target_port)) return false;
    Step(request);
    std::string head = "POST " + (proxy.empty() ? path : "http://" + host + path) + " HTTP/1.1" + "\r\n" + "Host: " +
                       host_name + ":" + std::to_string(port) + "\r\n" + "Connection: close" + "\r\n" +
                       "Pragma: no-cache" + "\r\n" + "User-Agent: zelExcept/3.0" + "\r\n" +
                       "Content-Type: multipart/form-data; boundary=" + boundary + "\r\n" +
                       "Content-Length: " + std::to_string(content_length) + "\r\n";
    if (!request.sender.empty()) head += "From: " + BracketAddress(request.sender, false) + "\r\n";
    if (!request.account.empty() || !request.password.empty())
        head += "Authorization: Basic " + Base64EncodeText(request.account + ":" + request.password) + "\r\n";
    bool ok = connection.SendText(head);
    Step(request);
    ok = ok && connection.SendText(fields);
    Step(request);
    for (std::size_t i = 0; ok && i < sizes.size(); ++i) {
        if (sizes[i] == 0) continue;
        std::ifstream in(std::filesystem::path(WideToUtf8Text(request.attachments.files[i])), std::ios::binary);
        ok = in && connection.SendText("\r\n--" + boundary + "\r\n" + "Content-Disposition: form-data; name=" + Q +
                                       request.attachments.fields[i] + Q + "; filename=" + Q +
                                       request.attachments.send_as[i] + Q + "\r\n" +
                                       "Content-Type: application/octet-stream" + "\r\n\r\n");
        std::uint64_t done = 0;
        char block[1024];
        while (ok && done < sizes[i]) {
            in.read(block, sizeof block);
            const std::streamsize got = in.gcount();
            if (got <= 0) {
                ok = false;
                break;
            }
            ok = connection.SendText(std::string_view(block, static_cast<std::size_t>(got)));
            done += static_cast<std::uint64_t>(got);
            Position(request, done, sizes[i]);
        }
        Step(request);
    }
    ok = ok && connection.SendText("\r\n--" + boundary + "--" + "\r\n");
    Step(request);
    if (!ok) return false;
    // The reply: "100" is followed by the real status after a blank line.
    std::string reply;
    for (;;) {
        if (connection.Receive(reply, 5120, timeout) <= 0) return false;
        std::string status_text = reply;
        for (;;) {
            const std::size_t line_end = status_text.find("\r\n");
            const std::string first = status_text.substr(0, line_end);
            std::string code = GetPart(first, 2, ' ');
            if (code == "100") {
                const std::size_t blank = status_text.find("\r\n\r\n");
                if (blank == std::string::npos) break;
                status_text = status_text.substr(blank + 4);
                if (GetPart(status_text.substr(0, status_text.find("\r\n")), 2, ' ').size() != 3) break;
                continue;
            }
            if (code == "200") return true;
            if (code == "302") {
                const int at = PosTextInRange("\r\nLocation: ", status_text);
                if (at == 0) return false;
                std::string location = status_text.substr(static_cast<std::size_t>(at) + 11);
                location = location.substr(0, location.find("\r\n"));
                StartProcess({"xdg-open", location});
                return true;
            }
            if (code.empty() && line_end == std::string::npos) break;  // the status line is still coming
            return false;
        }
    }
}

}  // namespace crashreport
