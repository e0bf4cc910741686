// The objects of a JSON lines file read back into the cells of the column table, in the
// text the CSV row holds for them, so that one reader of cells serves both formats.
#include <nlohmann/json.hpp>

#include <cctype>
#include <cstdio>
#include <ctime>

#include "record/row_reader.h"

namespace records {

namespace {

using Json = nlohmann::json;

// A field by its dotted path: written flat ("source.ip") or nested ({"source":{"ip":..}}).
Json const* field(Json const& object, std::string_view path) {
    auto flat = object.find(std::string(path));
    if (flat != object.end()) return &*flat;
    Json const* at = &object;
    while (true) {
        auto const dot = path.find('.');
        auto found = at->find(std::string(path.substr(0, dot)));
        if (found == at->end()) return nullptr;
        at = &*found;
        if (dot == std::string_view::npos) return at;
        if (!at->is_object()) return nullptr;
        path.remove_prefix(dot + 1);
    }
}

std::string text(Json const& value) {
    if (value.is_string()) return value.get<std::string>();
    if (value.is_boolean()) return value.get<bool>() ? "1" : "0";
    if (value.is_number_unsigned()) return std::to_string(value.get<uint64_t>());
    if (value.is_number_integer()) return std::to_string(value.get<int64_t>());
    if (value.is_null()) return {};
    return value.dump();
}

// "2024-05-06T07:08:09.123Z" as milliseconds since 1970; empty when it is not that form.
std::string milliseconds(std::string const& iso) {
    std::tm t{};
    int millis = 0, used = 0;
    if (std::sscanf(iso.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3dZ%n", &t.tm_year, &t.tm_mon, &t.tm_mday, &t.tm_hour,
                    &t.tm_min, &t.tm_sec, &millis, &used) != 7 ||
        static_cast<size_t>(used) != iso.size())
        return {};
    t.tm_year -= 1900;
    t.tm_mon -= 1;
    return std::to_string(static_cast<int64_t>(timegm(&t)) * 1000 + millis);
}

std::string cellOf(JsonForm form, Json const& value, Json const& object) {
    switch (form) {
    case JsonForm::Timestamp:
        return value.is_string() ? milliseconds(value.get<std::string>()) : text(value);
    case JsonForm::Mac: {
        std::string mac = text(value);
        for (char& c : mac) c = c == '-' ? ':' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return mac;
    }
    case JsonForm::Version: {
        Json const* protocol = field(object, "tls.version_protocol");
        std::string name = protocol && protocol->is_string() ? protocol->get<std::string>() : "tls";
        for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        std::string const number = text(value);
        return number.empty() ? number : name + "v" + number;
    }
    case JsonForm::Digests: {
        if (!value.is_array()) return text(value);
        std::string joined;
        for (Json const& digest : value) joined += (joined.empty() ? "" : ":") + text(digest);
        return joined;
    }
    case JsonForm::Messages:
        return value.is_object() ? (value.empty() ? std::string() : value.dump()) : text(value);
    case JsonForm::Protocol: {
        std::string protocol = text(value);
        for (char& c : protocol) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        return protocol;
    }
    default:
        return text(value);
    }
}

}  // namespace

RowReader::Result RowReader::nextJson(RowCells& cells) {
    while (true) {
        std::string_view line;
        bool tooLong = false;
        if (!takeLine(line, tooLong)) return Result::End;
        firstLine = nextLine++;
        recordText = line.substr(0, 200);
        if (tooLong) {
            why = "line too long";
            return Result::TooLong;
        }
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty()) continue;
        Json const object = Json::parse(line, nullptr, false);
        if (object.is_discarded() || !object.is_object()) {
            why = "not a JSON object";
            return Result::Malformed;
        }
        for (size_t column = 0; column < columnCount; ++column) {
            Json const* value = field(object, columns[column].json);
            // A flag left out is a flag not set.
            bool const flag = columns[column].form == JsonForm::Flag;
            decoded[column] = value ? cellOf(columns[column].form, *value, object) : flag ? "0" : std::string();
            cells[column] = decoded[column];
        }
        // TLS from version 1.0 on, SSL before it and for a version never learnt.
        if (cells[ProtocolType] == "TLS" && cells[TLSVersion].substr(0, 4) != "TLSv") cells[ProtocolType] = "SSL";
        return Result::Row;
    }
}

}  // namespace records
