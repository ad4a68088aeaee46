// The host's event log: the driver's real message table, rendering as the NT
// event viewer does, and the .mc reader's refusal of malformed files.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>

#include "check/message_table.h"
#include "host_records.h"

#ifndef TOLVANEX_SOURCE_DIR
#define TOLVANEX_SOURCE_DIR "/work/main"
#endif

namespace tolvanex::host {
namespace {

const std::filesystem::path kMessagesPath = std::filesystem::path(TOLVANEX_SOURCE_DIR) / "driver" / "messages.mc";

const MessageTable &driver_table() {
    static const MessageTable table = MessageTable::load_file(kMessagesPath);
    return table;
}

std::string read_file(const std::filesystem::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

// The HostError's text, or "" when nothing was thrown.
std::string error_of(const std::function<void()> &action) {
    try {
        action();
    } catch (const HostError &error) {
        return error.what();
    }
    return "";
}

std::string parse_error(std::string_view text) {
    return error_of([&] { MessageTable::parse(text, "bad.mc"); });
}

const std::vector<std::uint32_t> kDriverIds = {
    0x40000000, 0x40000007, 0x40000008, 0x40000009, 0x4000000A, 0x4000000B, 0x4000000C, 0x4000000D,
    0x4000000E, 0x4000000F, 0x40000010, 0x40000011, 0x40000012, 0x40000013, 0x40000014, 0x40000015,
    0xC0000001, 0xC0000002, 0xC0000003, 0xC0000004, 0xC0000005, 0xC0000006,
};

TEST(DriverMessages, EveryIdentifierInUsEnglishAndFrench) {
    const MessageTable &table = driver_table();
    std::vector<std::uint32_t> ids;
    for (const auto &[id, message] : table.messages())
        ids.push_back(id);
    std::vector<std::uint32_t> expected = kDriverIds;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(ids, expected);

    for (const auto &[id, message] : table.messages()) {
        SCOPED_TRACE(message_id_hex(id));
        // The NT image carries exactly these two message-table languages.
        std::set<LangId> languages;
        for (const auto &[lang, text] : message.texts)
            languages.insert(lang);
        EXPECT_EQ(languages, (std::set<LangId>{0x409, 0x40C}));
        EXPECT_EQ(message.severity(), id >> 30 == 1 ? MessageSeverity::Informational : MessageSeverity::Error);
        EXPECT_FALSE(message.symbolic_name.empty());
        EXPECT_TRUE(table.text(id, "en").ends_with("\r\n"));
        EXPECT_TRUE(table.text(id, "fr").ends_with("\r\n"));
    }
}

TEST(DriverMessages, TextsKeptExactly) {
    const MessageTable &table = driver_table();
    // Opens with an apostrophe, closes with a double quote.
    EXPECT_EQ(table.text(0xC0000002, "en"),
              "Error in %3 section :%r%n%r%nTOLVANEX subKey of 'TapiDevices\" not created\r\n");
    EXPECT_EQ(table.text(0xC0000002, "fr"),
              "Erreur en section %3 :%r%n%r%nSous-clé TOLVANEX de 'Tapi Devices' non créée\r\n");
    EXPECT_EQ(table.text(0x4000000A, "fr"),
              "Le message d'appel RNIS au Pimisdnd a échoué%r%n%r%nCode retour = %4 \r\n");
    EXPECT_EQ(table.text(0x4000000C, "fr"),
              "Le message de libération RNIS au Pimisdnd a échoué%r%n%r%nCode retour = %4 \r\n");
    EXPECT_EQ(table.text(0x40000015, "fr"), "Le timeout a expiré.\r\n\r\n");
    EXPECT_EQ(table.text(0x40000015, "en"), "Timeout has expired.\r\n");
    EXPECT_EQ(table.text(0xC0000005, "en"), "Error in %3 section :%r%n%r%nProblem with 'Route' value in "
                                            "CurrentControlSet\\Services\\ZolTapi\\Linkage\r\n");
    EXPECT_EQ(table.text(0xC0000006, "fr"), "Erreur dans la section %3 :%r%n%r%nPas de port Tolvanex configurés "
                                            "dans le Serveur d'accés distant\r\n");
    EXPECT_EQ(table.text(0x40000000, "en"), "Reconfiguration successfull.\r\n");
}

TEST(DriverMessages, CrlfSourceReadsTheSame) {
    std::string crlf;
    for (const char c : read_file(kMessagesPath)) {
        if (c == '\n')
            crlf += '\r';
        crlf += c;
    }
    const MessageTable table = MessageTable::parse(crlf, "messages-crlf.mc");
    ASSERT_EQ(table.messages().size(), driver_table().messages().size());
    for (const std::uint32_t id : kDriverIds) {
        SCOPED_TRACE(message_id_hex(id));
        EXPECT_EQ(table.text(id, "en"), driver_table().text(id, "en"));
        EXPECT_EQ(table.text(id, "fr"), driver_table().text(id, "fr"));
    }
}

TEST(FormatMessage, Insertions) {
    const std::vector<std::string> args = {"a", "b", "c", "d", "e", "f", "g", "h", "i", "j", "k", "l"};
    EXPECT_EQ(format_message("%1-%5", std::span(args).first(5)), "a-e");
    EXPECT_EQ(format_message("%6 and %12", std::span(args).first(5)), "%6 and %12");
    EXPECT_EQ(format_message("%10|%123", args), "j|l3");
    EXPECT_EQ(format_message("[%2!s!] [%2!s]", args), "[b] [b!s]");
    EXPECT_EQ(format_message("%1", {}), "%1");
}

TEST(FormatMessage, EscapesAndLineBreaks) {
    EXPECT_EQ(format_message("a%r%nb%tc", {}), "a\r\r\nb\tc");
    EXPECT_EQ(format_message("100%% %. %! x% y", {}), "100% . ! x y");
    EXPECT_EQ(format_message("no break%0\r\n", {}), "no break");
    EXPECT_EQ(format_message("%q 50%", {}), "%q 50%");
}

EventEntry entry(std::uint32_t id, std::uint32_t section, std::vector<std::string> strings = {}) {
    EventEntry e;
    e.id = id;
    e.section = section;
    e.strings = std::move(strings);
    return e;
}

TEST(EventLogRender, InsertionStringsAndSections) {
    const EventLog log(driver_table());
    EXPECT_EQ(log.render(entry(0x40000013, 3, {"5DC", "2"}), "en"), "Data received with length 5DC on wan link 2.\r\n");
    EXPECT_EQ(log.render(entry(0x40000014, 3, {"40", "1"}), "fr"),
              "Données d'une longueur 40 envoyées sur le lien Wan 1.\r\n");
    EXPECT_EQ(log.render(entry(0xC0000001, 0), "en"),
              "Error in Configuration section :\r\r\n\r\r\n'TapiDevices' key not created\r\n");
    EXPECT_EQ(log.render(entry(0x40000011, 3), "fr"),
              "En section Chemin de données WAN :\r\r\n\r\r\nImpossible d'obtenir un contexte Miniport. "
              "Queueing de la fonction NdisMXxx.\r\n");
    EXPECT_EQ(log.render(entry(0x40000011, 1), "en"),
              "In ISDN interface section :\r\r\n\r\r\nUnable to switch to Miniport context. "
              "Queueing NdisMXxx function.\r\n");
    // No insertion string given: %4 stays; an unnamed section shows its number.
    EXPECT_EQ(log.render(entry(0x4000000A, 2), "fr"),
              "Le message d'appel RNIS au Pimisdnd a échoué\r\r\n\r\r\nCode retour = %4 \r\n");
    EXPECT_EQ(log.render(entry(0xC0000003, 2), "en"),
              "Error in 2 section :\r\r\n\r\r\n'Media Type' value not created\r\n");
}

TEST(EventLogRender, WholeLogInOrder) {
    EventLog log(driver_table());
    EventEntry timeout = entry(0x40000015, 3);
    timeout.time = 120'001'500;
    timeout.context = "timer";
    EventEntry registry = entry(0xC0000004, 0);
    registry.time = seconds(13);
    registry.error_code = 0xC0001393;
    registry.context = "ndis";
    log.add(timeout);
    log.add(registry);

    ASSERT_EQ(log.entries().size(), 2u);
    EXPECT_EQ(log.entries()[0].id, 0x40000015u);
    EXPECT_EQ(log.entries()[1].error_code, 0xC0001393u);
    EXPECT_EQ(log.render_all("en"), "12.000150 0x40000015 Information [timer]\n"
                                    "Timeout has expired.\n"
                                    "\n"
                                    "13.000000 0xC0000004 Error [ndis]\n"
                                    "Error in Configuration section :\n"
                                    "\n"
                                    "'Address' value not created\n");
    EXPECT_EQ(log.render_all("fr"), "12.000150 0x40000015 Information [timer]\n"
                                    "Le timeout a expiré.\n"
                                    "\n"
                                    "\n"
                                    "13.000000 0xC0000004 Erreur [ndis]\n"
                                    "Erreur en section Configuration :\n"
                                    "\n"
                                    "Valeur 'Address' non créée\n");
    log.clear();
    EXPECT_EQ(log.render_all("en"), "");
}

TEST(EventLogRender, UnknownIdentifierOrLanguage) {
    EventLog log(driver_table());
    log.add(entry(0x40000099, 3)); // the driver's hook must never fail
    EXPECT_EQ(log.entries().size(), 1u);
    const std::string table_name = kMessagesPath.string();
    EXPECT_EQ(error_of([&] { log.render(log.entries()[0], "en"); }), table_name + ": no message 0x40000099");
    EXPECT_EQ(error_of([&] { log.render_all("en"); }), table_name + ": no message 0x40000099");
    EXPECT_EQ(error_of([&] { log.render(entry(0x40000015, 3), "de"); }),
              table_name + ": unknown language 'de' (expected \"en\" or \"fr\")");
    EXPECT_EQ(error_of([] { EventLog().render(entry(0x40000015, 3), "en"); }),
              "<no message table>: no message 0x40000015");
}

TEST(McReader, IdentifiersFromSeverityFacilityAndCode) {
    const MessageTable table = MessageTable::parse("; header comment\n"
                                                   "MessageIdTypedef=DWORD\n"
                                                   "SeverityNames=(Success=0x0:S\n"
                                                   "  ; inside the list\n"
                                                   "  Warn = 0x2 : W\n"
                                                   ")\n"
                                                   "FacilityNames=(Io=0x4:FACILITY_IO)\n"
                                                   "MessageId=0x10 Severity=Warn Facility=Io SymbolicName=A\n"
                                                   "Language=English\n"
                                                   "a\n"
                                                   ".\n"
                                                   "MessageId=\n" // previous + 1, nothing inherited
                                                   "Language=English\n"
                                                   "b\n"
                                                   ".\n"
                                                   "MessageId = +4\n"
                                                   "Severity=Error\n"
                                                   "Language=English\n"
                                                   "c\n"
                                                   ".\n",
                                                   "ids.mc");
    std::vector<std::uint32_t> ids;
    for (const auto &[id, message] : table.messages())
        ids.push_back(id);
    EXPECT_EQ(ids, (std::vector<std::uint32_t>{0x00000011, 0x80040010, 0xC0000015}));
    EXPECT_EQ(table.find(0x80040010)->symbolic_name, "A");
    EXPECT_EQ(table.find(0x80040010)->line, 8);
    EXPECT_EQ(table.find(0x00000011)->severity(), MessageSeverity::Success);
}

TEST(McReader, TextKeptAsWritten) {
    const MessageTable table = MessageTable::parse("\xEF\xBB\xBF"
                                                   "LanguageNames=(French=0x40C:MSG0040C)\r\n"
                                                   "MessageId=1\r\n"
                                                   "Language=French\r\n"
                                                   "  indented, trailing  \r\n"
                                                   "\r\n"
                                                   "; not a comment here\r\n"
                                                   "MessageId=2 %1%n%%\r\n"
                                                   "\r\n"
                                                   ".\r\n"
                                                   "Language=English\r\n"
                                                   ". \r\n" // not the end: only a lone '.' is
                                                   ".\r\n",
                                                   "text.mc");
    EXPECT_EQ(table.text(1, "fr"), "  indented, trailing  \r\n\r\n; not a comment here\r\nMessageId=2 %1%n%%\r\n\r\n");
    EXPECT_EQ(table.text(1, "en"), ". \r\n");
}

TEST(McReader, LanguageLookup) {
    // windmc's default language is English=1 until LanguageNames says otherwise.
    const MessageTable table = MessageTable::parse("MessageId=1\nLanguage=English\nhello\n.\n", "lang.mc");
    EXPECT_EQ(table.languages().front().id, 0x001);
    EXPECT_EQ(table.text(1, "en"), "hello\r\n");
    EXPECT_EQ(error_of([&] { table.text(1, "fr"); }), "lang.mc:1: message 0x00000001 has no French text");
    EXPECT_EQ(error_of([&] { table.text(2, "en"); }), "lang.mc: no message 0x00000002");
    EXPECT_EQ(error_of([&] { table.text(1, "EN"); }), "lang.mc: unknown language 'EN' (expected \"en\" or \"fr\")");
}

TEST(McReader, MissingFileNamed) {
    EXPECT_EQ(error_of([] { MessageTable::load_file("/nonexistent/messages.mc"); }),
              "/nonexistent/messages.mc: cannot open the message file");
}

struct Malformed {
    const char *what;
    const char *text;
    const char *error; // expected HostError text
};

TEST(McReader, MalformedFilesNameTheLine) {
    const Malformed cases[] = {
        {"missing '.'", "MessageId=1\nLanguage=English\nhello\n",
         "bad.mc:2: the English text of message 0x00000001 has no closing '.' line"},
        {"missing '.', CRLF", "MessageId=1\r\n\r\nLanguage=English\r\nhello\r\n",
         "bad.mc:3: the English text of message 0x00000001 has no closing '.' line"},
        {"unknown language", "MessageId=1\nLanguage=German\nhallo\n.\n",
         "bad.mc:2: unknown language 'German' (not in LanguageNames)"},
        {"unknown severity", "MessageId=1\nSeverity=Fatal\nLanguage=English\nx\n.\n",
         "bad.mc:2: unknown severity 'Fatal'"},
        {"unknown facility", "MessageId=1\nFacility=Disk\nLanguage=English\nx\n.\n",
         "bad.mc:2: unknown facility 'Disk'"},
        {"names are case-sensitive", "MessageId=1\nSeverity=error\nLanguage=English\nx\n.\n",
         "bad.mc:2: unknown severity 'error'"},
        {"keywords are case-sensitive", "messageid=1\n", "bad.mc:1: unknown keyword 'messageid'"},
        {"duplicate id", "MessageId=5\nLanguage=English\nx\n.\nMessageId=0x5\nLanguage=English\ny\n.\n",
         "bad.mc:5: message 0x00000005 is already defined at line 1"},
        {"text outside an entry", "MessageId=1\nLanguage=English\nx\n.\nstray text\n",
         "bad.mc:5: text outside a message entry: \"stray text\""},
        {"extra '.'", "MessageId=1\nLanguage=English\nx\n.\n.\n", "bad.mc:5: text outside a message entry: \".\""},
        {"Language= before MessageId=", "\nLanguage=English\nx\n.\n",
         "bad.mc:2: Language= outside a message entry (no MessageId= before it)"},
        {"second text in one language", "MessageId=1\nLanguage=English\nx\n.\nLanguage=English\ny\n.\n",
         "bad.mc:5: second English text for message 0x00000001"},
        {"Severity= after the text", "MessageId=1\nLanguage=English\nx\n.\nSeverity=Error\n",
         "bad.mc:5: Severity= after the message's text"},
        {"message without text", "MessageId=1\nSymbolicName=A\nMessageId=2\nLanguage=English\nx\n.\n",
         "bad.mc:1: message 0x00000001 has no text"},
        {"empty text", "MessageId=1\nLanguage=English\n.\n",
         "bad.mc:2: the English text of message 0x00000001 is empty"},
        {"duplicate symbolic name",
         "MessageId=1\nSymbolicName=A\nLanguage=English\nx\n.\nMessageId=2\nSymbolicName=A\n",
         "bad.mc:7: symbolic name A is already used at line 2"},
        {"unclosed list", "LanguageNames=(French=0x40C:MSG0040C\n\nMessageId=1\n",
         "bad.mc:1: no ')' closes the LanguageNames list"},
        {"language without file", "LanguageNames=(French=0x40C)\n",
         "bad.mc:1: LanguageNames entry 'French' needs ':file'"},
        {"severity out of range", "SeverityNames=(Fatal=4:F)\n",
         "bad.mc:1: SeverityNames entry 'Fatal' is out of range"},
        {"bad number", "MessageId=12z\n", "bad.mc:1: MessageId: '12z' is not a number"},
        {"id over 16 bits", "MessageId=0xFFFF\nLanguage=English\nx\n.\nMessageId=\n",
         "bad.mc:5: MessageId 0x00010000 does not fit in 16 bits"},
        {"bad OutputBase", "OutputBase=8\n", "bad.mc:1: OutputBase must be 10 or 16, not 8"},
        {"invalid UTF-8", "MessageId=1\nLanguage=English\nd\xC3\n.\n", "bad.mc:3: invalid UTF-8"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(parse_error(c.text), c.error);
    }
}

} // namespace
} // namespace tolvanex::host
