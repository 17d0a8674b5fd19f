/* src/declaration/metadata.hpp: the AssetMetadata and PartitionSpec records */
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "json_text/json_text.hpp"

namespace tolva {

// One partition dimension: its static keys, as JSON values, in declaration order.
struct PartitionSpec {
    std::vector<json::Value> values;
};

// The declaration an AssetWrapper carries. Copies are deep; never changed once made.
struct AssetMetadata {
    std::optional<std::string> name;
    std::optional<std::map<std::string, std::string>> inputs;  // parameter -> reference string
    std::optional<std::map<std::string, PartitionSpec>> partitions;
    std::optional<std::string> serializer;
};

}  // namespace tolva
