#include "record/columns.h"

namespace records {

std::string const& csvHeader() {
    static std::string const header = [] {
        std::string text;
        for (ColumnInfo const& column : columns) {
            if (!text.empty()) text += ',';
            text += column.name;
        }
        return text;
    }();
    return header;
}

}  // namespace records
