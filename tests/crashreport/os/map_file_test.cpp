#include "crashreport/os/map_file.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "crashreport/os/modules.h"

namespace crashreport_test {

__attribute__((noinline)) std::uintptr_t ReturnAddressHere() {
    return reinterpret_cast<std::uintptr_t>(__builtin_return_address(0));
}

__attribute__((noinline)) int KnownFunction(int value, std::uintptr_t& inside, int& inside_line) {
    inside_line = __LINE__; inside = ReturnAddressHere();
    asm volatile("" ::: "memory");
    return value * 3 + 1;
}

}  // namespace crashreport_test

namespace crashreport {
namespace {

TEST(MapFile, ResolvesAKnownFunctionToModuleUnitRoutineAndLine) {
    std::uintptr_t inside = 0;
    int expected_line = 0;
    ASSERT_EQ(crashreport_test::KnownFunction(2, inside, expected_line), 7);
    const auto entry = reinterpret_cast<std::uintptr_t>(&crashreport_test::KnownFunction);

    std::string module, unit, routine;
    int line = -1;
    std::uintptr_t routine_start = 0;
    ASSERT_TRUE(MapInfoForAddr(inside - 1, module, unit, line, routine_start, routine));
    EXPECT_EQ(module, "crashreport_tests");
    EXPECT_EQ(unit, "map_file_test.cpp");
    EXPECT_EQ(routine, "crashreport_test::KnownFunction");
    EXPECT_EQ(routine_start, entry);
    EXPECT_EQ(line, expected_line);

    EXPECT_EQ(ProcNameForAddr(entry), "crashreport_test::KnownFunction");
    EXPECT_EQ(ProcNameForAddr(entry + 1), "");
    const std::shared_ptr<TMapFile> map = MapFileForAddr(entry);
    ASSERT_TRUE(map->valid());
    EXPECT_EQ(map->FindPublicByName(true, "map_file_test.cpp", true, "crashreport_test::KnownFunction"), entry);
    EXPECT_EQ(map->FindPublicByName(true, "map_file_test", true, "crashreport_test::KnownFunction"), entry);
    EXPECT_EQ(map->FindPublicByName(true, "map_file_test", true, "crashreport_test::knownfunction"), 0u);
    EXPECT_EQ(map->FindPublicByName(true, "map_file_test", false, "crashreport_test::knownfunction"), entry);
    // The same cached map answers the next question.
    EXPECT_EQ(MapFileForAddr(inside).get(), map.get());

    int cached_line = 0;
    std::uintptr_t start = 0, end = 0;
    LineForAddr(inside - 1, cached_line, start, end);
    EXPECT_EQ(cached_line, expected_line);
    EXPECT_EQ(start, inside - 1);
    EXPECT_GT(end, start);
}

TEST(MapFile, AnAddressOutsideEveryModuleGivesAnInvalidMapOfItsOwn) {
    const std::shared_ptr<TMapFile> map = MapFileForAddr(0x10);
    EXPECT_FALSE(map->valid());
    EXPECT_EQ(map.use_count(), 1);
    std::string module, unit, routine;
    int line = 0;
    std::uintptr_t start = 0;
    EXPECT_FALSE(MapInfoForAddr(0x10, module, unit, line, start, routine));
}

TEST(MapFile, SystemLibrariesAreNamedFromTheirExports) {
    const auto entry = FindExportByName("inflateInit2_");
    if (entry == 0) GTEST_SKIP() << "zlib not loaded";
    const std::shared_ptr<TMapFile> map = MapFileForAddr(entry);
    ASSERT_TRUE(map->valid());
    const TMfPublic found = map->FindPublic(entry + 1);
    EXPECT_TRUE(found.valid);
    EXPECT_EQ(found.address, entry);
}

TEST(MapFile, ReadsAnElfImageFromMemory) {
    std::ifstream in(ExecutablePath(), std::ios::binary);
    const std::string image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ModuleInfo self;
    ASSERT_TRUE(FindModuleOfAddr(reinterpret_cast<std::uintptr_t>(&crashreport_test::KnownFunction), self));
    const auto map = TMapFile::FromElfImage(image, self.load_bias, "crashreport_tests");
    ASSERT_TRUE(map->valid());
    const TMfPublic found = map->FindPublic(reinterpret_cast<std::uintptr_t>(&crashreport_test::KnownFunction));
    EXPECT_EQ(found.name, "crashreport_test::KnownFunction");
    EXPECT_FALSE(TMapFile::FromElfImage("not an image", 0, "x")->valid());
    EXPECT_FALSE(TMapFile::FromElfImage(image.substr(0, 200), 0, "x")->valid());
}

TEST(MapFile, ShortRoutineNamesDropParametersAndReturnTypes) {
    const std::pair<const char*, const char*> cases[] = {
        {"crashreport::TraceStack(crashreport::TraceStackOptions const&)", "crashreport::TraceStack"},
        {"void ns::f<int>(int)", "ns::f<int>"},
        {"ns::A::operator()(int) const", "ns::A::operator()"},
        // A lambda's call operator by its plain name, which has no
        // parameter list.
        {"operator()", "operator()"},
        {"ns::f()::{lambda()#1}::operator()() const", "ns::f()::{lambda()#1}::operator()"},
        {"ns::A::operator()", "ns::A::operator()"},
        {"(anonymous namespace)::Helper()", "(anonymous namespace)::Helper"},
        {"operator new(unsigned long)", "operator new"},
        {"inflate", "inflate"},
        {"ns::f(int) [clone .cold]", "ns::f [clone .cold]"},
        // A template's plain name from the debug information: the
        // parentheses are its argument's, not a parameter list.
        {"Run<ns::Test::Body()::<lambda()> >", "Run<ns::Test::Body()::<lambda()> >"},
        {"ns::Run<ns::Body()::{lambda()#1}>(ns::Body()::{lambda()#1} const&) const", "ns::Run<ns::Body()::{lambda()#1}>"},
    };
    for (const auto& [demangled, expected] : cases) EXPECT_EQ(ShortRoutineName(demangled), expected);
}

}  // namespace
}  // namespace crashreport
