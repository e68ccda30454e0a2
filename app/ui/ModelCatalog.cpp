#include "ModelCatalog.hpp"

#include "audiocore/install/ModelCatalog.hpp"

namespace corvaline::ui {

// The engine's catalog, as text the widgets show. Built once: the entries are fixed for a run.
const std::vector<CatalogEntry>& catalogEntries() {
    static const std::vector<CatalogEntry> entries = [] {
        std::vector<CatalogEntry> list;
        for (const LocalModel& model : ModelCatalog::Tools::defaults().models) {
            list.push_back(
                {QString::fromStdString(model.id), QString::fromStdString(model.name),
                 QString::fromStdString(model.category), QString::fromStdString(model.detail),
                 QString::fromStdString(model.size), QUrl(QString::fromStdString(model.source))});
        }
        return list;
    }();
    return entries;
}

const CatalogEntry* catalogEntry(const QString& id) {
    for (const auto& entry : catalogEntries()) {
        if (entry.id == id) return &entry;
    }
    return nullptr;
}

bool isSidonModel(const QString& id) {
    return id == QLatin1String("sidon") || id == QLatin1String("sidon-reference");
}

bool isDemucsModel(const QString& id) {
    return id == QLatin1String("demucs");
}

}  // namespace corvaline::ui
