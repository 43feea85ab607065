// The host list: a tree of host rows, each with its tray row beneath. Only host rows expand, and
// tray rows show no disclosure. Every row is a fresh widget (rows are not reused).
#pragma once

#include <QTreeWidget>

#include <memory>
#include <string>
#include <variant>

namespace kl {

class KLTHostItem;
class KLTNestedHostItem;

// An object of some other kind that reached the outline; it names its class.
struct KLTForeignOutlineObject {
    std::string className;
};
using KLTOutlineObject = std::variant<std::monostate, std::shared_ptr<KLTHostItem>,
                                      std::shared_ptr<KLTNestedHostItem>, KLTForeignOutlineObject>;

class KLTAccountOutlineView final : public QTreeWidget {
public:
    static constexpr int kRowHeight = 54;

    explicit KLTAccountOutlineView(QWidget* parent = nullptr);

    static bool isExpandable(const KLTOutlineObject& object) {
        return std::holds_alternative<std::shared_ptr<KLTHostItem>>(object);
    }
    // The row widget for an object: a host row, a tray row, or none (logged for a foreign one).
    static QWidget* viewForObject(const KLTOutlineObject& object);

    // Shows the host items, each expanded over its tray rows.
    void setObjects(const std::vector<std::pair<KLTOutlineObject, std::vector<KLTOutlineObject>>>& tree);
};

}  // namespace kl
