#pragma once
// What the window shows of the model catalog: the display fields of each entry, in catalog
// order. The engine's installer owns the catalog itself (addresses, checksums, folders); this
// is the read-only view the model picker and the settings page list.

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
/// The catalog's default model ("dfn3").
inline const char* kDefaultModelID = "dfn3";

/// Model kinds as the inspector groups them.
bool isSidonModel(const QString& id);
bool isDemucsModel(const QString& id);

}  // namespace corvaline::ui
