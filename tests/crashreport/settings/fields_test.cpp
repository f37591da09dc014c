#include "crashreport/settings/fields.h"

#include <gtest/gtest.h>

namespace crashreport_test {

using namespace crashreport;

namespace {

struct Recorder : FieldsOwner {
    void FieldsChanged(const std::string& serialised) override { changes.push_back(serialised); }
    std::vector<std::string> changes;
};

std::string Names(const TIZEFields& fields) {
    std::string text;
    for (const auto& [name, content] : fields.Items()) text += name + "=" + content + ";";
    return text;
}

}  // namespace

TEST(Fields, IgnoreEveryChangeUntilTheyAcceptData) {
    TIZEFields fields;
    fields.Set("a", "1");
    fields.Insert(0, "b", "2");
    EXPECT_EQ(fields.Count(), 0);
    fields.AcceptData();
    fields.Set("a", "1");
    EXPECT_EQ(fields.Count(), 1);
}

TEST(Fields, SetTrimsReplacesInPlaceAndRemovesOnEmpty) {
    TIZEFields fields(true);
    Recorder recorder;
    fields.Bind(&recorder);
    fields.Set("one", " 1 ");
    fields.Set("two", "2");
    fields.Set("ONE", "uno");
    EXPECT_EQ(Names(fields), "ONE=uno;two=2;");
    fields.Set("two", "2");  // unchanged: no notification
    fields.Set("one", "  ");
    EXPECT_EQ(Names(fields), "two=2;");
    EXPECT_EQ(recorder.changes, (std::vector<std::string>{"one=1", "one=1|two=2", "ONE=uno|two=2", "two=2"}));
}

TEST(Fields, NewItemsGoToTheInsertIndexWhichMovesOn) {
    TIZEFields fields(true);
    for (const char* name : {"date", "user", "crc", "number"}) fields.Set(name, "x");
    fields.SetInsertIndex(2);
    fields.Set("contact", "me");
    fields.Set("details", "it broke");
    EXPECT_EQ(Names(fields), "date=x;user=x;contact=me;details=it broke;crc=x;number=x;");
    fields.Delete(0);
    EXPECT_EQ(fields.insert_index(), 3);
    fields.Set("more", "y");
    EXPECT_EQ(fields.Name(3), "more");
    // Insert moves an item of the same name rather than doubling it.
    fields.Insert(0, "crc", "z");
    EXPECT_EQ(fields.Name(0), "crc");
    EXPECT_EQ(fields.Find("crc"), 0);
    EXPECT_EQ(fields.Count(), 6);
    fields.Insert(99, "tail", "t");
    EXPECT_EQ(fields.Name(fields.Count() - 1), "tail");
}

TEST(Fields, CloneAndSerialisedFormRoundTrip) {
    TIZEFields fields(true);
    fields.LoadSerialised("a=1|b=x=y|broken|c=");
    EXPECT_EQ(Names(fields), "a=1;b=x=y;");
    const IZEFields copy = fields.Clone();
    copy->Set("a", "2");
    EXPECT_EQ(fields.Get("a"), "1");
    EXPECT_EQ(copy->Serialise(), "a=2|b=x=y");
}

TEST(Attachments, DefaultNamesComeFromTheFile) {
    TIZEAttachments list;
    Recorder recorder;
    list.Bind(&recorder);
    list.Add(u"");
    EXPECT_EQ(list.Count(), 0);
    list.Add(u"/var/log/report.tar.gz");
    list.Add(u"C:\\logs\\trace.log", "trace.txt", "logs.zip");
    list.Add(u"/tmp/noext");
    AttachmentItem item;
    ASSERT_TRUE(list.Get(0, item));
    EXPECT_EQ(item.send_as, "report.tar.gz");
    EXPECT_EQ(item.field_name, "report.tar");
    ASSERT_TRUE(list.Get(1, item));
    EXPECT_EQ(item.send_as, "trace.txt");
    EXPECT_EQ(item.field_name, "trace");
    EXPECT_EQ(item.zip_name, "logs.zip");
    ASSERT_TRUE(list.Get(2, item));
    EXPECT_EQ(item.field_name, "noext");
    EXPECT_TRUE(list.Delete(u"C:\\LOGS\\TRACE.LOG"));
    EXPECT_FALSE(list.Delete(u"/nothing"));
    EXPECT_EQ(recorder.changes.back(), "/var/log/report.tar.gz>report.tar.gz>>report.tar|/tmp/noext>noext>>noext");
    TIZEAttachments loaded;
    loaded.LoadSerialised(recorder.changes.back());
    EXPECT_EQ(loaded.Serialise(), list.Serialise());
}

}  // namespace crashreport_test
