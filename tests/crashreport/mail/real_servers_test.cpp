// The reporter's SMTP and HTTP clients against real servers on 127.0.0.1:
// aiosmtpd (which takes the dots back and refuses lines over 1000 bytes as
// mail servers do) and Python's http.server (which reads the request by its
// Content-Length and takes the form apart with Python's own parser).
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "crashreport/codec/crypt.h"
#include "crashreport/mail/mail_channels.h"
#include "crashreport/text/string_toolkit.h"
#include "support/test_support.h"

namespace crashreport_test {
namespace {

using namespace crashreport;
namespace fs = std::filesystem;

// One of the receiver scripts beside this file, run by Debian's Python
// (where the bootstrap installed aiosmtpd). It ends by itself after
// `count` requests or a minute; the destructor waits for that.
class RealServer {
public:
    RealServer(const std::string& script, const fs::path& folder, int count) {
        const fs::path path = fs::path(TARNOVELL_TESTS_SOURCE_DIR) / "crashreport" / "mail" / script;
        pipe_ = popen(("/usr/bin/python3 '" + path.string() + "' '" + folder.string() + "' " +
                       std::to_string(count) + " 60")
                          .c_str(),
                      "r");
        char line[32] = {};
        if (pipe_ != nullptr && std::fgets(line, sizeof line, pipe_) != nullptr)
            port_ = static_cast<std::uint16_t>(std::atoi(line));
    }
    ~RealServer() {
        if (pipe_ != nullptr) pclose(pipe_);
    }
    RealServer(const RealServer&) = delete;
    RealServer& operator=(const RealServer&) = delete;
    std::uint16_t port() const { return port_; }
    // Waits until the server has ended (it has what it was to receive).
    void Finish() {
        if (pipe_ != nullptr) pclose(pipe_);
        pipe_ = nullptr;
    }

private:
    FILE* pipe_ = nullptr;
    std::uint16_t port_ = 0;
};

SendRequest MailTo(std::uint16_t port) {
    SendRequest request;
    request.smtp_server = "127.0.0.1";
    request.port = port;
    request.recipients = "dev@example.org";
    request.sender = "Tester <tester@example.org>";
    request.reply_timeout_ms = 10000;
    return request;
}

TEST(RealSmtpServer, LinesOfASingleDotArriveIntactAndEndNothing) {
    test_support::TempDir dir;
    RealServer server("smtp_receiver.py", dir.path(), 1);
    ASSERT_NE(server.port(), 0);
    SendRequest request = MailTo(server.port());
    request.subject = "bug report";
    // Two lone dots: either would end the mail early if sent as it is, and
    // what follows would be read as commands.
    request.body = "first\r\n.\r\nSECOND\r\n.\r\n.third\r\nlast";
    ASSERT_TRUE(SendBySmtpOrHttp(request));
    server.Finish();
    const std::string mail = test_support::ReadWholeFile(dir.file("mail1.eml"));
    EXPECT_NE(mail.find("\r\n\r\nfirst\r\n.\r\nSECOND\r\n.\r\n.third\r\nlast"), std::string::npos) << mail;
    EXPECT_NE(mail.find("Subject: =?ISO-8859-1?Q?bug=20report?=\r\n"), std::string::npos);
}

TEST(RealSmtpServer, AReportAsTheWholeSubjectIsDelivered) {
    // The shipped settings make the subject the report itself: some 30 KB
    // of lines, far more than a header line may hold.
    std::string report;
    for (int i = 0; report.size() < 30000; ++i)
        report += "000055e3500a1920 +00 crashreport_crash_child crash_child.cpp " + std::to_string(i) +
                  " (anonymous namespace)::WriteToUnmappedPage\r\n";
    test_support::TempDir dir;
    const std::string attachment = dir.file("bugreport.txt");
    test_support::WriteWholeFile(attachment, report);
    RealServer server("smtp_receiver.py", dir.path(), 1);
    ASSERT_NE(server.port(), 0);
    SendRequest request = MailTo(server.port());
    request.subject = report;
    request.body = report;
    request.attachments.files = {Utf8ToWideText(attachment)};
    request.attachments.send_as = {"bugreport.txt"};
    request.attachments.fields = {"BugReport"};
    ASSERT_TRUE(SendBySmtpOrHttp(request));
    server.Finish();
    const std::string mail = test_support::ReadWholeFile(dir.file("mail1.eml"));
    ASSERT_FALSE(mail.empty());
    // Python's mail parser reads the subject back as the report on one line.
    test_support::WriteWholeFile(dir.file("expected.txt"), report);
    const test_support::CommandResult parsed = test_support::Run(
        "/usr/bin/python3 -c \"import email, email.policy, sys; "
        "m = email.message_from_binary_file(open(sys.argv[1], 'rb'), policy=email.policy.default); "
        "want = ' '.join(open(sys.argv[2], newline='').read().split()); "
        "print('same' if str(m['subject']) == want else 'differs'); "
        "print(sum(1 for p in m.iter_attachments() if p.get_content() == open(sys.argv[2], 'rb').read()))\" " +
        test_support::Quote(dir.file("mail1.eml")) + " " + test_support::Quote(dir.file("expected.txt")));
    EXPECT_EQ(parsed.output, "same\n1\n") << parsed.output;
}

TEST(RealHttpServer, UploadedFieldsAndAttachmentArriveWhole) {
    test_support::TempDir dir;
    const std::string attachment = dir.file("bugreport.txt");
    std::string report = "date/time : today\r\n.\r\n";
    for (int i = 0; i < 2000; ++i) report.push_back(static_cast<char>(i % 251));
    test_support::WriteWholeFile(attachment, report);
    RealServer server("http_receiver.py", dir.path(), 1);
    ASSERT_NE(server.port(), 0);
    SendRequest request;
    request.upload_address = "http://127.0.0.1/upload/bug.php";
    request.port = server.port();
    request.sender = "tester@example.org";
    request.fields = {{"MailSubject", "bug report"}, {"MailBody", "line one\r\nline two"}};
    request.attachments.files = {Utf8ToWideText(attachment)};
    request.attachments.send_as = {"bugreport.txt"};
    request.attachments.fields = {"BugReport"};
    request.reply_timeout_ms = 10000;
    ASSERT_TRUE(SendBySmtpOrHttp(request));
    server.Finish();
    EXPECT_EQ(test_support::ReadWholeFile(dir.file("post1.head")).rfind("POST /upload/bug.php HTTP/1.1\n", 0), 0u);
    EXPECT_EQ(test_support::ReadWholeFile(dir.file("post1/MailSubject")), "bug report");
    EXPECT_EQ(test_support::ReadWholeFile(dir.file("post1/MailBody")), "line one\r\nline two");
    EXPECT_EQ(test_support::ReadWholeFile(dir.file("post1/BugReport")), report);
}

}  // namespace
}  // namespace crashreport_test
