// The host's registry model and its REGEDIT4 import and export.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <unistd.h>

#include "host.h"
#include "host_faults.h"
#include "host_records.h"
#include "host_registry.h"
#include "ntkernel.h"

namespace {

using namespace tolvanex::host;
using Bytes = std::vector<std::uint8_t>;
using Strings = std::vector<std::string>;

constexpr const char *kParams = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Tolvanex\\Parameters";
constexpr const char *kRas = "\\Registry\\Machine\\Software\\Microsoft\\RAS\\TAPI DEVICES\\TOLVANEX";
constexpr const char *kDeviceMap = "\\Registry\\Machine\\Hardware\\DeviceMap";

// Runs `body` and returns the HostError's text; fails the test if none.
std::string error_of(const std::function<void()> &body) {
    try {
        body();
    } catch (const HostError &e) {
        return e.what();
    }
    ADD_FAILURE() << "no HostError";
    return {};
}

// Whether `body` raised a HostError that mentions `fragment`.
testing::AssertionResult fails_with(const std::function<void()> &body, std::string_view fragment) {
    try {
        body();
    } catch (const HostError &e) {
        if (std::string_view(e.what()).find(fragment) != std::string_view::npos)
            return testing::AssertionSuccess();
        return testing::AssertionFailure() << "error '" << e.what() << "' lacks '" << fragment << "'";
    }
    return testing::AssertionFailure() << "no HostError";
}

// ---- The model ----------------------------------------------------------------

TEST(RegistryModel, NamesMatchWithoutCaseAndKeepTheCaseTheyWereMadeWith) {
    Registry r;
    EXPECT_TRUE(r.create_key(kParams));
    EXPECT_TRUE(r.key_exists("\\REGISTRY\\machine\\SYSTEM\\currentcontrolset\\services\\TOLVANEX"));
    EXPECT_FALSE(r.create_key("\\Registry\\MACHINE\\system")); // already there
    EXPECT_EQ(r.subkeys("\\Registry\\Machine"), Strings{"System"});
    EXPECT_EQ(r.stored_path("\\registry\\machine\\system"), "\\Registry\\Machine\\System");

    r.set_dword(kParams, "Timeout", 300);
    r.set_dword(kParams, "TIMEOUT", 5);
    ASSERT_EQ(r.values(kParams).size(), 1u);
    EXPECT_EQ(r.values(kParams)[0].name, "Timeout");
    EXPECT_EQ(r.get_dword(kParams, "timeout"), 5u);
    EXPECT_TRUE(r.delete_value(kParams, "tImEoUt"));
    EXPECT_FALSE(r.get_value(kParams, "Timeout"));
}

TEST(RegistryModel, StringsAreStoredAsNtStoresThem) {
    Registry r;
    r.set_sz(kParams, "Trace", "ISDN");
    EXPECT_EQ(r.get_value(kParams, "Trace")->data, (Bytes{'I', 0, 'S', 0, 'D', 0, 'N', 0, 0, 0}));

    r.set_multi_sz(kParams, "Address", {"1-01-00", "1-02-00"});
    RegValue v = *r.get_value(kParams, "Address");
    EXPECT_EQ(v.type, kRegMultiSz);
    ASSERT_EQ(v.data.size(), 2 * (8 + 8 + 1));
    EXPECT_EQ(Bytes(v.data.end() - 4, v.data.end()), (Bytes{0, 0, 0, 0})); // NUL, then the empty string

    Strings text{"Zürich", "日本", "grin 😀", "a\\b \"c\""};
    r.set_multi_sz(kParams, "Multi", text);
    EXPECT_EQ(r.get_multi_sz(kParams, "Multi"), text);
    r.set_sz(kParams, "One", "😀");
    EXPECT_EQ(r.get_value(kParams, "One")->data.size(), 6u); // a surrogate pair and the NUL
    EXPECT_EQ(r.get_sz(kParams, "One"), "😀");

    r.set_multi_sz(kParams, "None", {});
    EXPECT_EQ(r.get_value(kParams, "None")->data, (Bytes{0, 0}));
    EXPECT_EQ(r.get_multi_sz(kParams, "None"), Strings{});
}

TEST(RegistryModel, KeysAndValuesKeepInsertionOrderAndDeletionTakesTheSubtree) {
    Registry r;
    const std::string svc = "\\Registry\\Machine\\Services";
    for (const char *name : {"Zeta", "alpha", "Mid"})
        r.create_key(svc + "\\" + name);
    r.create_key(svc + "\\alpha\\Deep\\Deeper");
    EXPECT_EQ(r.subkeys(svc), (Strings{"Zeta", "alpha", "Mid"}));
    r.set_dword(svc, "b", 1);
    r.set_dword(svc, "a", 2);
    r.set_dword(svc, "B", 3); // replaces in place
    EXPECT_EQ(r.values(svc)[0].name, "b");
    EXPECT_EQ(r.values(svc)[1].name, "a");

    EXPECT_TRUE(r.delete_key(svc + "\\ALPHA"));
    EXPECT_FALSE(r.key_exists(svc + "\\alpha\\Deep"));
    EXPECT_FALSE(r.delete_key(svc + "\\alpha"));
    EXPECT_EQ(r.subkeys(svc), (Strings{"Zeta", "Mid"}));
}

TEST(RegistryModel, BadArgumentsAreClearErrors) {
    Registry r;
    EXPECT_TRUE(fails_with([&] { r.create_key("\\Registry\\Machine\\\\System"); }, "empty key name"));
    EXPECT_TRUE(fails_with([&] { r.create_key("\\Registry\\Machine\\System\\"); }, "'\\Registry\\Machine\\System\\'"));
    EXPECT_TRUE(fails_with([&] { r.key_exists("Registry\\Machine"); }, "\\Registry"));
    EXPECT_TRUE(fails_with([&] { r.create_key("\\Registry\\Software\\X"); }, "not under"));
    EXPECT_TRUE(fails_with([&] { r.create_key("\\Registry\\Machine\\" + std::string(256, 'k')); }, "over 255"));
    EXPECT_TRUE(fails_with([&] { r.create_key("\\Registry\\Machine\\A\\B", false); },
                           "parent '\\Registry\\Machine\\A' does not exist"));
    EXPECT_TRUE(fails_with([&] { r.values(kParams); }, "no key"));
    EXPECT_TRUE(fails_with([&] { r.delete_key("\\Registry\\User"); }, "hive"));

    r.set_dword(kParams, "Timeout", 1);
    EXPECT_TRUE(fails_with([&] { r.get_sz(kParams, "Timeout"); }, "is REG_DWORD, not REG_SZ"));
    EXPECT_TRUE(fails_with([&] { r.set_multi_sz(kParams, "M", {"a", "", "b"}); }, "entry 1"));
    EXPECT_TRUE(fails_with([&] { r.set_sz(kParams, "S", "bad \xff"); }, "malformed UTF-8"));
    EXPECT_TRUE(fails_with([&] { r.set_sz(kParams, "S", "\xe0\x80\xaf"); }, "malformed UTF-8")); // an overlong '/'
    EXPECT_FALSE(r.get_value(kParams, "S")); // nothing was half-written
}

// ---- REGEDIT4 text ----------------------------------------------------------

TEST(Regedit, ImportsEveryValueForm) {
    Registry r;
    import_reg(r, R"(REGEDIT4
; the service's settings

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Tolvanex\Parameters]
"Timeout"=dword:00000708
"Trace"="Full"
"Path"="C:\\dir \"quoted\""
@="default"
"Bytes"=hex:01,02,ff
  "Spaced" = DWORD:A
"Multi"=hex(7):31,2d,30,31,2d,30,30,00,31,2d,30,\
  32,2d,30,30,00,00
"Expand"=hex(2):25,53,79,73,25,00
"Raw"=hex(b):01,00,00,00,00,00,00,00
"Empty"=hex:

[HKLM\Software\Microsoft\RAS\TAPI DEVICES\TOLVANEX]
"Usage"=hex(7):c3,a9,00,00
)",
               "sample.reg");
    EXPECT_EQ(r.get_dword(kParams, "Timeout"), 1800u);
    EXPECT_EQ(r.get_sz(kParams, "Trace"), "Full");
    EXPECT_EQ(r.get_sz(kParams, "Path"), "C:\\dir \"quoted\"");
    EXPECT_EQ(r.get_sz(kParams, ""), "default");
    EXPECT_EQ(r.get_value(kParams, "Bytes")->data, (Bytes{1, 2, 0xff}));
    EXPECT_EQ(r.get_dword(kParams, "spaced"), 10u);
    EXPECT_EQ(r.get_multi_sz(kParams, "Multi"), (Strings{"1-01-00", "1-02-00"}));
    RegValue expand = *r.get_value(kParams, "Expand");
    EXPECT_EQ(expand.type, kRegExpandSz);
    EXPECT_EQ(expand.data, (Bytes{'%', 0, 'S', 0, 'y', 0, 's', 0, '%', 0, 0, 0})); // UTF-16 now
    EXPECT_EQ(r.get_value(kParams, "Raw")->type, 11u);
    EXPECT_EQ(r.get_value(kParams, "Raw")->data.size(), 8u);
    EXPECT_EQ(r.get_value(kParams, "Empty")->data, Bytes{});
    EXPECT_EQ(r.get_multi_sz(kRas, "Usage"), Strings{"é"});
}

TEST(Regedit, DeletesKeysAndValuesAndReadsCrlfText) {
    Registry r;
    r.set_sz(kParams, "Trace", "Full");
    r.set_sz(kParams, "Keep", "yes");
    r.set_dword(kRas, "Old", 1);
    import_reg(r,
               "REGEDIT4\r\n\r\n"
               "[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\RAS]\r\n"
               "[-HKEY_LOCAL_MACHINE\\Software\\Microsoft\\RAS]\r\n"
               "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Tolvanex\\Parameters]\r\n"
               "\"trace\"=-\r\n"
               "\"New\"=\"value\"\r\n",
               "crlf.reg");
    EXPECT_FALSE(r.key_exists("\\Registry\\Machine\\Software\\Microsoft\\RAS"));
    EXPECT_TRUE(r.key_exists("\\Registry\\Machine\\Software\\Microsoft"));
    EXPECT_FALSE(r.get_value(kParams, "Trace"));
    EXPECT_EQ(r.get_sz(kParams, "Keep"), "yes");
    EXPECT_EQ(r.get_sz(kParams, "New"), "value"); // no stray '\r'
}

TEST(Regedit, ExportThenImportRebuildsTheSameRegistry) {
    Registry r;
    r.create_key("\\Registry\\Machine\\Hardware\\DeviceMap"); // empty keys survive too
    r.set_dword(kParams, "Timeout", 0xdeadbeef);
    r.set_sz(kParams, "Quoted", "a \"b\" \\c\\");
    r.set_sz(kParams, "", "the default");
    r.set_sz(kParams, "Lines", "one\r\ntwo");
    r.set_sz(kParams, "Unicode", "Zürich 😀");
    r.set_expand_sz(kParams, "Expand", "%SystemRoot%\\x");
    r.set_multi_sz(kParams, "Multi", {"1-01-00", "é", "x"});
    r.set_multi_sz(kParams, "NoStrings", {});
    r.set_value(kParams, "ShortDword", kRegDword, {1, 2});
    r.set_value(kParams, "Odd", 0x1234, {9});
    r.set_value(kParams, "None", kRegNone, {});
    Bytes big(200);
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<std::uint8_t>(i);
    r.set_binary(kParams, "Big", big);
    r.set_multi_sz(kRas, "Address", {"1-02-00"});
    r.create_key("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Aardvark");
    r.set_dword("\\Registry\\User", "AtTheHive", 7);
    r.set_sz("\\Registry\\User\\.Default\\Name With ] Bracket", "\"@\"", "v");

    std::string text = export_reg(r);
    Registry back;
    import_reg(back, text, "export.reg");
    EXPECT_TRUE(back == r) << text;
    EXPECT_EQ(export_reg(back), text);

    // The forms regedit writes, with keys in the order they were made.
    EXPECT_TRUE(text.starts_with("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Hardware]\n\n"
                                 "[HKEY_LOCAL_MACHINE\\Hardware\\DeviceMap]\n"))
        << text;
    EXPECT_NE(text.find("\"Timeout\"=dword:deadbeef\n"), std::string::npos);
    EXPECT_NE(text.find("\"Quoted\"=\"a \\\"b\\\" \\\\c\\\\\"\n"), std::string::npos);
    EXPECT_NE(text.find("@=\"the default\"\n"), std::string::npos);
    EXPECT_NE(text.find("\"Multi\"=hex(7):31,2d,30,31,2d,30,30,00,c3,a9,00,78,00,00\n"), std::string::npos);
    EXPECT_NE(text.find("\"Lines\"=hex(1):6f,6e,65,0d,0a,74,77,6f,00\n"), std::string::npos);
    EXPECT_NE(text.find("[HKEY_USERS]\n\"AtTheHive\"=dword:00000007\n"), std::string::npos);
    EXPECT_LT(text.find("\\Services\\Tolvanex]"), text.find("\\Services\\Aardvark]"));
    std::size_t long_line = 0;
    for (std::size_t start = 0, end; start < text.size(); start = end + 1) {
        end = text.find('\n', start);
        long_line = std::max(long_line, end - start);
    }
    EXPECT_LE(long_line, 80u); // the 200 bytes were wrapped
    EXPECT_NE(text.find(",\\\n  "), std::string::npos);

    EXPECT_EQ(export_reg(r, "\\registry\\machine\\software"),
              "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software]\n\n"
              "[HKEY_LOCAL_MACHINE\\Software\\Microsoft]\n\n"
              "[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\RAS]\n\n"
              "[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\RAS\\TAPI DEVICES]\n\n"
              "[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\RAS\\TAPI DEVICES\\TOLVANEX]\n"
              "\"Address\"=hex(7):31,2d,30,32,2d,30,30,00,00\n\n");
}

TEST(Regedit, ExportRefusesWhatRegedit4CannotHold) {
    Registry r;
    r.set_value(kParams, "Unterminated", kRegSz, {'A', 0});
    EXPECT_TRUE(fails_with([&] { export_reg(r); }, "'Unterminated'"));
    r.delete_value(kParams, "Unterminated");
    r.set_value(kParams, "Multi", kRegMultiSz, {'A', 0, 0, 0, 'B', 0, 0, 0}); // data after the end
    EXPECT_TRUE(fails_with([&] { export_reg(r); }, "REG_MULTI_SZ"));
    r.delete_value(kParams, "Multi");
    r.set_dword(kParams, "Line\nBreak", 1);
    EXPECT_TRUE(fails_with([&] { export_reg(r); }, "line break"));
    EXPECT_TRUE(fails_with([&] { export_reg(r, "\\Registry\\Machine\\Nope"); }, "no such key"));
}

TEST(Regedit, MalformedTextNamesFileAndLine) {
    const std::string head = "REGEDIT4\n[HKLM\\Software\\Test]\n";
    struct Case {
        std::string text;
        std::string expected; // the start of the message
    };
    const Case cases[] = {
        {"", "bad.reg:1: missing the REGEDIT4 header"},
        {"; only a comment\n", "bad.reg:1: missing the REGEDIT4 header"},
        {"Windows Registry Editor Version 5.00\n", "bad.reg:1: expected the REGEDIT4 header"},
        {"REGEDIT4\n\"a\"=\"b\"\n", "bad.reg:2: value before any [key] section"},
        {"REGEDIT4\n[HKLM\\Software\n", "bad.reg:2: section header lacks its closing ']'"},
        {"REGEDIT4\n\n[HKEY_CURRENT_USER\\X]\n", "bad.reg:3: unknown root key 'HKEY_CURRENT_USER'"},
        {"REGEDIT4\n[HKLM\\Software\\\\X]\n", "bad.reg:2: registry path"},
        {"REGEDIT4\n[HKLM\\Software\\]\n", "bad.reg:2: registry path"},
        {"REGEDIT4\n[-HKLM]\n", "bad.reg:2: a hive cannot be deleted"},
        {"REGEDIT4\n[-HKLM\\Software\\Test]\n\"a\"=\"b\"\n", "bad.reg:3: value under a [-key]"},
        {head + "garbage\n", "bad.reg:3: expected a [key] section"},
        {head + "\"a\"\"b\"\n", "bad.reg:3: expected '=' after the value name"},
        {head + "\"a=\"b\"\n", "bad.reg:3: expected '=' after the value name"},
        {head + "\"a\"=\"b\n", "bad.reg:3: string lacks its closing quote"},
        {head + "\"a\"=\"b\\n\"\n", "bad.reg:3: unknown escape '\\n' in string"},
        {head + "\"a\"=\"b\" c\n", "bad.reg:3: unexpected text after the string"},
        {head + "\"a\"=dword:123456789\n", "bad.reg:3: dword needs 1 to 8 hex digits"},
        {head + "\"a\"=dword:\n", "bad.reg:3: dword needs 1 to 8 hex digits"},
        {head + "\"a\"=dword:12x4\n", "bad.reg:3: dword needs 1 to 8 hex digits"},
        {head + "\"a\"=hex:01,,02\n", "bad.reg:3: missing byte in hex list"},
        {head + "\"a\"=hex:01,02,\n", "bad.reg:3: missing byte in hex list"},
        {head + "\"a\"=hex:01,100\n", "bad.reg:3: '100' is not a byte"},
        {head + "\"a\"=hex:01,\\\n  02,\\\n  zz\n", "bad.reg:5: 'zz' is not a byte"},
        {head + "\"a\"=hex:01,\\\n", "bad.reg:3: file ends inside a continued hex list"},
        {head + "\"a\"=hex(7:00\n", "bad.reg:3: expected hex(N):"},
        {head + "\"a\"=hex(q):00\n", "bad.reg:3: expected hex(N):"},
        {head + "\"a\"=hex(7)00\n", "bad.reg:3: expected hex(N):"},
        {head + "\"a\"=hex(7):ff,00,00\n", "bad.reg:3: REG_MULTI_SZ bytes are not UTF-8 text"},
        {head + "\"a\"=qword:1\n", "bad.reg:3: unknown value data 'qword:1'"},
        {head + "\"a\"=\n", "bad.reg:3: unknown value data ''"},
        {head + "\"bad \xff name\"=\"b\"\n", "bad.reg:3: value name: malformed UTF-8"},
    };
    for (const Case &c : cases) {
        Registry r;
        std::string message = error_of([&] { import_reg(r, c.text, "bad.reg"); });
        EXPECT_TRUE(message.starts_with(c.expected)) << "text:\n" << c.text << "\ngave: " << message;
    }
}

TEST(Regedit, MalformedFileChangesNothing) {
    Registry r;
    r.set_sz(kParams, "Trace", "Full");
    std::string before = export_reg(r);
    EXPECT_THROW(import_reg(r,
                            "REGEDIT4\n[-HKLM\\System]\n[HKLM\\New]\n\"a\"=dword:1\n"
                            "\"b\"=oops\n",
                            "half.reg"),
                 HostError);
    EXPECT_EQ(export_reg(r), before);
}

TEST(Regedit, ImportsFilesAndNamesThoseItCannotRead) {
    auto dir = std::filesystem::temp_directory_path() / ("tolvanex-reg-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    auto file = dir / "machine.reg";
    std::ofstream(file) << "\xEF\xBB\xBFREGEDIT4\n[HKLM\\Software\\Test]\n\"a\"=dword:2\n\"b\"=x\n";
    Registry r;
    std::string message = error_of([&] { import_reg_file(r, file); });
    EXPECT_TRUE(message.starts_with(file.string() + ":4: unknown value data")) << message;
    std::ofstream(file) << "REGEDIT4\n[HKLM\\Software\\Test]\n\"a\"=dword:2\n";
    import_reg_file(r, file);
    EXPECT_EQ(r.get_dword("\\Registry\\Machine\\Software\\Test", "a"), 2u);

    message = error_of([&] { import_reg_file(r, dir / "missing.reg"); });
    EXPECT_NE(message.find("missing.reg: cannot open"), std::string::npos) << message;
    std::filesystem::remove_all(dir);
}

// ---- The NT surface -----------------------------------------------------------

// A counted string over its own storage.
} // namespace
