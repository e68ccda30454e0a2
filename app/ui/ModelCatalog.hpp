#pragma once
// What the window shows of the model catalog: the display fields of the engine's entries
// (ModelCatalog), in catalog order, as Qt text for the model picker and the settings page.

#include <QString>
#include <QUrl>
#include <vector>

namespace corvaline::ui {

struct CatalogEntry {
    QString id;        ///< ProcessingSettings::modelID
    QString name;      ///< "DeepFilterNet 3"
    QString category;  ///< "Dialogue enhancement"
    QString detail;    ///< one-line description
    QString size;      ///< "8 MB"
    QUrl source;       ///< the publisher's project page
};

/// The catalog, in order: sidon, sidon-reference, dfn3, dfn2, demucs.
const std::vector<CatalogEntry>& catalogEntries();
/// The entry with `id`, or nullptr.
const CatalogEntry* catalogEntry(const QString& id);

/// Model kinds as the inspector groups them.
bool isSidonModel(const QString& id);
bool isDemucsModel(const QString& id);

}  // namespace corvaline::ui
