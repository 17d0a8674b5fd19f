/* src/declaration/metadata.hpp: the AssetMetadata and PartitionSpec records */
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>

namespace tolva {

// One partition dimension: its static keys in declaration order, held as the compact
// JSON array they render as (a list of 50,000 values would take ten times the room).
// Never changed once made, so the marker and every declaration made from it share it.
struct PartitionSpec {
    std::shared_ptr<const std::string> values_json;
    std::size_t count = 0;
};

// The declaration an AssetWrapper carries. Copies are deep but for the partition keys,
// which are shared; never changed once made.
struct AssetMetadata {
    std::optional<std::string> name;
    std::optional<std::map<std::string, std::string>> inputs;  // parameter -> reference string
    std::optional<std::map<std::string, PartitionSpec>> partitions;
    std::optional<std::string> serializer;
};

}  // namespace tolva
