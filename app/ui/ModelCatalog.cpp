#include "ModelCatalog.hpp"

namespace corvaline::ui {

// The display fields of the engine's catalog. On Linux the Sidon FP16 entry runs the
// reference TorchScript files in process, so its detail names TorchScript instead of the
// other platform's runtime.
const std::vector<CatalogEntry>& catalogEntries() {
    static const std::vector<CatalogEntry> entries = {
        {QStringLiteral("sidon"), QStringLiteral("Sidon FP16"),
         QStringLiteral("Noise & room echo restoration"),
         QStringLiteral("TorchScript · CPU · 3 GB free space · Generative; voice may change"),
         QStringLiteral("747 MB"), QUrl(QStringLiteral("https://github.com/sarulab-speech/Sidon"))},
        {QStringLiteral("sidon-reference"), QStringLiteral("Sidon CPU Reference"),
         QStringLiteral("Noise & room echo restoration"),
         QStringLiteral(
             "Full precision · Private runtime · 5 GB free space · Generative; voice may change"),
         QStringLiteral("1.01 GB + runtime"),
         QUrl(QStringLiteral("https://github.com/sarulab-speech/Sidon"))},
        {QStringLiteral("dfn3"), QStringLiteral("DeepFilterNet 3"),
         QStringLiteral("Dialogue enhancement"),
         QStringLiteral("48 kHz full-band speech denoising"), QStringLiteral("8 MB"),
         QUrl(QStringLiteral("https://github.com/Rikorose/DeepFilterNet"))},
        {QStringLiteral("dfn2"), QStringLiteral("DeepFilterNet 2"),
         QStringLiteral("Dialogue enhancement"),
         QStringLiteral("Alternative for comparing speech artifacts"), QStringLiteral("9 MB"),
         QUrl(QStringLiteral("https://github.com/Rikorose/DeepFilterNet"))},
        {QStringLiteral("demucs"), QStringLiteral("HTDemucs"), QStringLiteral("Vocals from music"),
         QStringLiteral("Hybrid Transformer separation · CPU render"), QStringLiteral("~80 MB"),
         QUrl(QStringLiteral("https://github.com/facebookresearch/demucs"))},
    };
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
