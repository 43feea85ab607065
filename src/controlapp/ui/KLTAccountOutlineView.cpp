#include "controlapp/ui/KLTAccountOutlineView.h"

#include <QHeaderView>

#include "controlapp/ui/KLTOutletName.h"
#include "controlapp/ui/KLTTableCellView.h"
#include "controlapp/ui/KLTTrayItemView.h"
#include "foundation/KLTLogging.h"

namespace kl {

KLTAccountOutlineView::KLTAccountOutlineView(QWidget* parent) : QTreeWidget(parent) {
    outlet(this, "hostsOutlineView");
    setHeaderHidden(true);
    setColumnCount(1);
    setSelectionMode(QAbstractItemView::NoSelection);
    setUniformRowHeights(true);
}

QWidget* KLTAccountOutlineView::viewForObject(const KLTOutlineObject& object) {
    if (auto* host = std::get_if<std::shared_ptr<KLTHostItem>>(&object)) {
        auto* row = new KLTTableCellView;
        row->setObjectValue(*host);
        return row;
    }
    if (auto* nested = std::get_if<std::shared_ptr<KLTNestedHostItem>>(&object)) {
        auto* row = new KLTTrayItemView;
        row->setObjectValue(*nested);
        return row;
    }
    if (auto* foreign = std::get_if<KLTForeignOutlineObject>(&object))
        KLLog(kKLTLoggingLevelError, "Unrecognized class in outline view: <%s>", foreign->className.c_str());
    return nullptr;
}

void KLTAccountOutlineView::setObjects(
    const std::vector<std::pair<KLTOutlineObject, std::vector<KLTOutlineObject>>>& tree) {
    clear();
    for (const auto& [object, children] : tree) {
        auto* item = new QTreeWidgetItem(this);
        item->setSizeHint(0, QSize(0, kRowHeight));
        item->setChildIndicatorPolicy(isExpandable(object) ? QTreeWidgetItem::ShowIndicator
                                                           : QTreeWidgetItem::DontShowIndicator);
        if (QWidget* view = viewForObject(object)) setItemWidget(item, 0, view);
        if (!isExpandable(object)) continue;
        for (const auto& child : children) {
            auto* sub = new QTreeWidgetItem(item);
            sub->setSizeHint(0, QSize(0, kRowHeight));
            sub->setChildIndicatorPolicy(QTreeWidgetItem::DontShowIndicator);
            if (QWidget* view = viewForObject(child)) setItemWidget(sub, 0, view);
        }
        item->setExpanded(true);
    }
}

}  // namespace kl
