#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "xml/core_document.h"
#include "xml/document_printing.h"
#include "xml/padded_xml_text.h"

namespace {

std::string Nested(int levels, const std::string &inside = "") {
    std::string text;
    for (int level = 0; level < levels; ++level)
        text += "<e>";
    text += inside;
    for (int level = 0; level < levels; ++level)
        text += "</e>";
    return text;
}

// A recursion per nesting level overflows a 256 KiB stack and crashes the test, where the main
// thread's stack might have been large enough to pass by luck.
template <typename Body>
void RunOnSmallStack(Body body) {
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, 256 * 1024);
    pthread_t thread;
    const auto run = [](void *argument) -> void * {
        (*static_cast<Body *>(argument))();
        return nullptr;
    };
    ASSERT_EQ(0, pthread_create(&thread, &attributes, run, &body));
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attributes);
}

void ExpectTooDeep(const CoreDocument &document, const std::string &context = "") {
    EXPECT_TRUE(document.Error()) << context;
    EXPECT_EQ(17, document.ErrorId()) << context;
    EXPECT_STREQ("Elements nested too deeply (exceeds the configured maximum parse depth).", document.ErrorDesc())
        << context;
    EXPECT_EQ(0, document.ErrorRow()) << context;
}

void ExpectSameError(const TiXmlDocument &library, const CoreDocument &core) {
    EXPECT_EQ(library.ErrorId(), core.ErrorId());
    EXPECT_STREQ(library.ErrorDesc(), core.ErrorDesc());
    EXPECT_EQ(library.ErrorRow(), core.ErrorRow());
    EXPECT_EQ(library.ErrorCol(), core.ErrorCol());
}

// Depths of the nodes starting with "<" that the library began to read, in document order.
void CollectMarkupDepths(const TiXmlNode &parent, int depth, std::vector<int> *depths) {
    for (const TiXmlNode *node = parent.FirstChild(); node; node = node->NextSibling()) {
        if (node->ToText() == nullptr || node->ToText()->CDATA())
            depths->push_back(depth);
        CollectMarkupDepths(*node, depth + 1, depths);
    }
}

} // namespace

// Depth counting: the root element is 1, every "<" node counts, text does not.
TEST(XmlNestingLimit, HundredLevelsLoadAndTheHundredAndFirstFails) {
    RunOnSmallStack([] {
        CoreDocument document;
        document.Parse(Nested(100, "text at depth 100").c_str());
        EXPECT_FALSE(document.Error()) << document.ErrorDesc();
        for (const char *node : {"<e/>", "<!-- c -->", "<![CDATA[c]]>", "<?xml ?>", "<!DOCTYPE d>"}) {
            CoreDocument deeper;
            deeper.Parse(Nested(100, node).c_str());
            ExpectTooDeep(deeper, node);
        }
    });
}

TEST(XmlNestingLimit, LoadFileAppliesTheLimitOfACopiedDocument) {
    const std::string path = ::testing::TempDir() + "xml_nesting_" + std::to_string(getpid());
    std::ofstream(path, std::ios::binary) << Nested(4);
    CoreDocument limited;
    limited.maxParseDepth = 3;
    CoreDocument copied(limited);
    for (CoreDocument *document : {&limited, &copied}) {
        EXPECT_FALSE(document->LoadFile(path));
        ExpectTooDeep(*document);
    }
    unlink(path.c_str());
}

TEST(XmlNestingLimit, DeepDocumentsFailFastWithoutDescending) {
    RunOnSmallStack([] {
        for (int levels : {150, 1000000}) {
            const std::string text = Nested(levels);
            const auto start = std::chrono::steady_clock::now();
            CoreDocument document;
            document.Parse(text.c_str());
            const auto elapsed = std::chrono::steady_clock::now() - start;
            ExpectTooDeep(document, std::to_string(levels));
            EXPECT_LT(elapsed, std::chrono::seconds(2)) << levels;
        }
    });
}

TEST(XmlNestingLimit, AnEarlierErrorWinsAndALaterOneDoesNot) {
    for (const char *broken : {"<r a='1' a='2'>", "<r><x></y>", "<r><x k='v\"/>"}) {
        const std::string text = broken + Nested(150) + "</r>";
        TiXmlDocument library;
        library.Parse(text.c_str());
        CoreDocument core;
        core.Parse(text.c_str());
        ExpectSameError(library, core);
    }
    CoreDocument core;
    core.Parse(("<r>" + Nested(150) + "<x a='1' a='2'/></r>").c_str());
    ExpectTooDeep(core);
}

// The library reads up to three bytes past the end of a text that ends inside a UTF-8 character;
// a text ending right before an unreadable page shows whether the parse stays inside its copy.
TEST(XmlNestingLimit, TextEndingInsideACharacterIsReadSafely) {
    const long page = sysconf(_SC_PAGESIZE);
    void *pages = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(MAP_FAILED, pages);
    ASSERT_EQ(0, mprotect(static_cast<char *>(pages) + page, page, PROT_NONE));
    const char text[] = "<?xml ?><a>\xF0";
    char *atPageEnd = static_cast<char *>(pages) + page - sizeof text;
    std::memcpy(atPageEnd, text, sizeof text);
    CoreDocument document;
    document.Parse(atPageEnd);
    EXPECT_TRUE(document.Error());
    munmap(pages, 2 * page);
}

// The limit must cut exactly where the library would have read a node beyond it, whatever the
// markup around: random documents are compared with the tree the library builds without limit.
TEST(XmlNestingLimit, AgreesWithTheLibrarysReadingOfRandomDocuments) {
    const std::vector<std::string> pieces = {"<a>",
                                             "<a>",
                                             "<a>",
                                             "</a>",
                                             "</a>",
                                             "<b k='/>'>",
                                             "</b>",
                                             "</b >",
                                             "<a/>",
                                             "<a k=v>",
                                             "<a k='1' k='2'>",
                                             "<!-- <a> -->",
                                             "<![CDATA[<a>]]>",
                                             "<?xml ?>",
                                             "<?xml version='>'?>",
                                             "<?xml encoding='latin'?>",
                                             "<!DOCTYPE d [<!ELEMENT a>]>",
                                             "<?pi <a>?>",
                                             "< a>",
                                             "<\xEF\xBB\xBF_u>",
                                             "</_u>",
                                             "text",
                                             " ",
                                             "\n",
                                             "\xE0",
                                             "\xEF\xBB\xBF",
                                             "&#49;",
                                             "&#",
                                             ";",
                                             "<",
                                             ">",
                                             "/",
                                             "'",
                                             "\"",
                                             "="};
    std::mt19937 random(6);
    int tooDeep = 0;
    int accepted = 0;
    for (int round = 0; round < 20000; ++round) {
        std::string text;
        for (int count = 1 + random() % 24; count > 0; --count)
            text += pieces[random() % pieces.size()];
        const PaddedXmlText padded(text);
        TiXmlDocument library;
        library.Parse(padded.c_str());
        std::vector<int> depths;
        CollectMarkupDepths(library, 1, &depths);
        const int limit = 1 + round % 4;
        CoreDocument core;
        core.maxParseDepth = limit;
        core.Parse(text.c_str());
        SCOPED_TRACE(::testing::PrintToString(text) + " limit " + std::to_string(limit));
        if (std::any_of(depths.begin(), depths.end(), [&](int depth) { return depth > limit; })) {
            ExpectTooDeep(core);
            ++tooDeep;
        } else {
            ExpectSameError(library, core);
            EXPECT_EQ(PrintCompact(library), PrintCompact(core));
            accepted += library.Error() ? 0 : 1;
        }
        if (HasFailure())
            return;
    }
    EXPECT_GT(tooDeep, 1000);
    EXPECT_GT(accepted, 1000);
}
