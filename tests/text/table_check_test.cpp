// What `pyr-strtable check` says of a table: every place where the client's loader reads the
// file otherwise than its author wrote it, on the right line, and nothing for a table that
// reads as written.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <tinyxml.h>

#include "text/TableCheck.h"

namespace {

using namespace std::string_literals;

struct Expected {
    int line;
    std::string fragment;
};

struct CheckCase {
    const char* name;
    std::string text;
    bool readable;
    std::vector<Expected> findings;
};

class TableCheck : public ::testing::TestWithParam<CheckCase> {};

TEST_P(TableCheck, SaysWhereTheClientReadsOtherwiseThanTheFileSays) {
    const CheckCase& c = GetParam();
    const text_check::TableReport report = text_check::CheckTableText(c.text);
    EXPECT_EQ(report.readable, c.readable);
    ASSERT_EQ(report.findings.size(), c.findings.size());
    for (std::size_t i = 0; i < c.findings.size(); ++i) {
        EXPECT_EQ(report.findings[i].line, c.findings[i].line) << report.findings[i].text;
        EXPECT_NE(report.findings[i].text.find(c.findings[i].fragment), std::string::npos)
            << report.findings[i].text;
    }
    // The white-space setting switched for one parse is TinyXML's own again.
    EXPECT_TRUE(TiXmlBase::IsWhiteSpaceCondensed());
}

const std::string kUtf8 = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";

INSTANTIATE_TEST_SUITE_P(
    Tables, TableCheck,
    ::testing::Values(
        CheckCase{"AsWritten",
                  kUtf8 + "<t>\n<!-- & in a comment -->\n<A>&#26408; &amp; &lt;b&gt;</A>\n"
                          "<B><![CDATA[R&D]]></B>\n<?pi &x?>\n</t>\n",
                  true,
                  {}},
        CheckCase{"ByteOrderMarkIsUtf8Too", "\xEF\xBB\xBF<t><A>caf&#233;</A></t>", true, {}},
        CheckCase{"UndeclaredEncodingCutsReferences",
                  "<t>\n<A>&#26408;</A>\n<B>plain</B>\n</t>",
                  true,
                  {{2, "A: its character references are read as single bytes"}}},
        CheckCase{"AmpersandsThatStartNoEntity",
                  kUtf8 + "<t><A>R&D</A>\r\n<B>&nbsp;x &#0; &#x110000;</B></t>",
                  true,
                  {{2, "\"&D\" starts no entity TinyXML knows"},
                   {3, "\"&nbsp;\" starts no entity"},
                   {3, "\"&#0;\" names no character"},
                   {3, "\"&#x110000;\" names no character"}}},
        CheckCase{"EntriesLostCutOrReplaced",
                  kUtf8 + "<t>\n<A>first</A>\n<B/>\n<C><!-- note -->text</C>\n"
                          "<D>a<![CDATA[b]]>c</D>\n<A>second</A>\n<E>  two\n  lines </E>\n"
                          "</t>\n<after/>",
                  true,
                  {{4, "B: no text, so no entry"},
                   {5, "C: no entry: its first node is a comment"},
                   {6, "D: only \"a\" is read: a CDATA section on line 6 ends the text"},
                   {7, "A: replaces the text on line 3"},
                   {8, "E: its white space is condensed: it reads \"two lines\""},
                   {11, "the element <after> after the root element <t> is not read"}}},
        CheckCase{"ParseErrorOnItsLine",
                  kUtf8 + "<t>\n<A>ok</A>\n<B>bad</C>\n</t>",
                  false,
                  {{4, "not read: TinyXML: Error reading end tag."}}},
        CheckCase{"NulByteEndsWhatIsRead",
                  kUtf8 + "<t><A>x</A></t>\n\0<B>y</B>"s,
                  true,
                  {{3, "a NUL byte: the loader reads nothing after it"}}},
        CheckCase{"NoElement", kUtf8 + "<!-- nothing -->", false, {{0, "holds no element"}}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
