#include "registration/registration_format.h"

#include <utility>

namespace {

// Searched in this order; the first one found anywhere in a line decides
// what the line is, so "filename" counts as a name line.
constexpr std::string_view kSoftwareHeader = "[[software]]";
constexpr std::string_view kNameKey = "name";
constexpr std::string_view kProductIdKey = "product_id";
constexpr std::string_view kDistributorIdKey = "distributor_id";

bool Contains(std::string_view line, std::string_view marker) { return line.find(marker) != std::string_view::npos; }

void WriteKeyLine(std::ostream& out, std::string_view key, const std::string& value) {
    out << key << " = \"" << value << "\"\n";
}

}  // namespace

void ApplyRegistrationValue(std::string_view line, std::string& field) {
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) {
        return;
    }
    std::string value;
    for (const char c : line.substr(equals + 1)) {
        if (c != '"') {
            value.push_back(c);
        }
    }
    // Only after the quotes are gone, so `"  x"` loses its blanks too.
    value.erase(0, value.find_first_not_of(" \t"));
    field = std::move(value);
}

std::vector<SoftwareEntry> ParseRegistration(std::istream& in) {
    std::vector<SoftwareEntry> entries;
    SoftwareEntry current;
    std::string line;
    while (std::getline(in, line)) {
        if (Contains(line, kSoftwareHeader)) {
            if (!current.product_id.empty()) {
                entries.push_back(std::move(current));
            }
            current = SoftwareEntry{};
        } else if (Contains(line, kNameKey)) {
            ApplyRegistrationValue(line, current.name);
        } else if (Contains(line, kProductIdKey)) {
            ApplyRegistrationValue(line, current.product_id);
        } else if (Contains(line, kDistributorIdKey)) {
            ApplyRegistrationValue(line, current.distributor_id);
        }
    }
    if (!current.product_id.empty()) {
        entries.push_back(std::move(current));
    }
    return entries;
}

void FormatRegistration(std::ostream& out, const std::vector<SoftwareEntry>& entries) {
    for (const SoftwareEntry& entry : entries) {
        out << kSoftwareHeader << '\n';
        WriteKeyLine(out, kNameKey, entry.name);
        WriteKeyLine(out, kProductIdKey, entry.product_id);
        WriteKeyLine(out, kDistributorIdKey, entry.distributor_id);
    }
}

void MergeProduct(std::vector<SoftwareEntry>& entries) {
    for (SoftwareEntry& entry : entries) {
        if (entry.product_id == kInstallerProductId) {
            entry.distributor_id = kInstallerDistributorId;
            return;
        }
    }
    entries.push_back(SoftwareEntry{std::string(kInstallerName), std::string(kInstallerProductId),
                                    std::string(kInstallerDistributorId)});
}

std::string CrLfToLf(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') {
            continue;
        }
        text.push_back(bytes[i]);
    }
    return text;
}

std::string LfToCrLf(std::string_view text) {
    std::string bytes;
    bytes.reserve(text.size());
    for (const char c : text) {
        if (c == '\n') {
            bytes.push_back('\r');
        }
        bytes.push_back(c);
    }
    return bytes;
}
