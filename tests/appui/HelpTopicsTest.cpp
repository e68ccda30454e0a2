// The user guide's table and its search rule.

#include <gtest/gtest.h>

#include <QRegularExpression>

#include "ui/dialogs/HelpTopics.hpp"

namespace corvaline::ui {
namespace {}  // namespace
}  // namespace corvaline::ui

QT_BEGIN_NAMESPACE
// Readable failures: the ids, not their bytes.
inline void PrintTo(const QStringList& list, std::ostream* os) {
    *os << list.join(QStringLiteral(", ")).toStdString();
}
QT_END_NAMESPACE

namespace corvaline::ui {
namespace {

QStringList ids(const std::vector<const HelpTopic*>& topics) {
    QStringList list;
    for (const auto* t : topics)
        list << t->id;
    return list;
}

TEST(HelpTopics, TableHasTheElevenTopicsAndSectionsInOrder) {
    const auto& all = HelpTopic::all();
    const QStringList expected = {"start",    "media",  "models",      "sidon",
                                  "preview",  "dsp",    "dialogue",    "loudness",
                                  "channels", "export", "troubleshoot"};
    QStringList actual;
    for (const auto& t : all)
        actual << t.id;
    EXPECT_EQ(actual, expected);
    const std::vector<int> sectionCounts = {6, 5, 5, 6, 4, 4, 7, 6, 3, 4, 6};
    for (size_t i = 0; i < all.size(); ++i)
        EXPECT_EQ(int(all[i].sections.size()), sectionCounts[i]) << all[i].id.toStdString();
    EXPECT_EQ(all[7].title, QStringLiteral("LUFS & True Peak"));
    EXPECT_EQ(all[3].sections[0].title, QStringLiteral("Original Mix"));
    EXPECT_EQ(all[6].sections[1].title, QStringLiteral("Two lavs and camera reference tracks"));
    EXPECT_EQ(all[10].sections.back().title, QStringLiteral("Contact"));
    EXPECT_NE(HelpTopic::find(QStringLiteral("dialogue")), nullptr);
    EXPECT_EQ(HelpTopic::find(QStringLiteral("nothing")), nullptr);
}

TEST(HelpTopics, EverySectionIsRealDocumentationOfThisPlatform) {
    static const QRegularExpression otherPlatform(
        QStringLiteral("\\b(Mac|macOS|Apple|Finder|Core ML|Command-)\\b"));
    for (const auto& topic : HelpTopic::all()) {
        EXPECT_FALSE(topic.summary.isEmpty());
        for (const auto& section : topic.sections) {
            const auto words = section.body.split(QLatin1Char(' '), Qt::SkipEmptyParts).size();
            EXPECT_GE(words, 25) << section.title.toStdString();
            EXPECT_FALSE(otherPlatform.match(section.body).hasMatch())
                << section.title.toStdString();
        }
        EXPECT_FALSE(otherPlatform.match(topic.summary).hasMatch()) << topic.id.toStdString();
    }
    const auto& contact = HelpTopic::find(QStringLiteral("troubleshoot"))->sections.back().body;
    EXPECT_TRUE(contact.contains(QLatin1Char('@')));
    EXPECT_TRUE(contact.contains(QStringLiteral("https://")));
}

TEST(HelpSearch, EveryWordMustOccurIgnoringCaseAndDiacritics) {
    EXPECT_EQ(ids(matchingTopics(QStringLiteral("true peak"))),
              QStringList({QStringLiteral("dsp"), QStringLiteral("loudness")}));
    EXPECT_EQ(ids(matchingTopics(QStringLiteral("  TRUE\tPEAK  "))),
              QStringList({QStringLiteral("dsp"), QStringLiteral("loudness")}));
    EXPECT_EQ(ids(matchingTopics(QStringLiteral("ÉBÜ r128"))),
              QStringList({QStringLiteral("loudness")}));
    EXPECT_TRUE(matchingTopics(QStringLiteral("true peak zebra")).empty());
    EXPECT_TRUE(matchingTopics(QStringLiteral("xylophone")).empty());
    EXPECT_EQ(matchingTopics(QString()).size(), HelpTopic::all().size());
    EXPECT_EQ(matchingTopics(QStringLiteral("   ")).size(), HelpTopic::all().size());
    EXPECT_EQ(foldForSearch(QStringLiteral("Écoute ÇA")),
              foldForSearch(QStringLiteral("ecoute ca")));
    // Section titles count too.
    EXPECT_TRUE(
        HelpTopic::find(QStringLiteral("models"))->matches(QStringLiteral("manage downloads")));
}

}  // namespace
}  // namespace corvaline::ui
