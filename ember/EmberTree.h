#pragma once

// Threads: one thread (the provider's, the user-interface thread).

#include "ember/GlowTypes.h"
#include "engine/ChannelMapping.h"

#include <map>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

// What the tree shows of the router, read from it by the provider.
struct RouterState {
    std::string version; // Kestrix's
    std::string runtime; // the NDI runtime's file name
    std::string runtimeVersion;
    struct Sender {
        std::vector<ChannelMapping> channels; // one per sender channel
        int32_t delayMs = 0;
        std::string videoSource; // "" for none

        bool operator==(const Sender&) const = default;
    };
    std::map<std::string, Sender> senders;
    struct Source {
        bool online = false;
        int32_t channels = -1; // -1: not known (being probed, or off line)
        int sampleRate = 0; // 0: not known

        bool operator==(const Source&) const = default;
    };
    std::map<std::string, Source> sources;
};

// One element of the tree: its contents, and for the matrix its signals and
// what each target carries.
struct EmberElement {
    GlowContents contents;
    std::vector<int32_t> targets;
    std::vector<int32_t> sources;
    std::vector<GlowConnection> connections; // one per target, in the targets' order
    std::map<uint32_t, EmberElement> children;
};

// Kestrix's routing as an Ember+ tree (the README draws it). Senders,
// sources, their channels (the matrix's targets and sources) and the level
// streams get numbers when first seen; a number is never given to another
// name during a run, and the same name gets its number back when it returns.
// Whatever goes away stays in the tree, off line, so a consumer's paths
// never point at something else.
class EmberTree {
public:
    static const GlowPath kMatrixPath;

    // What changed with an update, for the consumers that know of it.
    struct Change {
        enum class What {
            Added, // a new element: its parent's subscribers learn of it
            Changed, // its contents (or whether it is on line)
            Matrix, // its contents, signals or connections
        };
        What what;
        GlowPath path;
        std::set<int32_t> modifiedTargets; // Matrix: targets whose source changed
    };

    EmberTree();

    // Takes the router's state; returns what changed.
    std::vector<Change> update(const RouterState& state);

    // The element at `path` (the empty path is the root); null when there is none.
    const EmberElement* find(const GlowPath& path) const;

    // The sender channel a target number stands for, while it is listed.
    struct Channel {
        std::string name;
        uint32_t channel = 0;
    };
    std::optional<Channel> target(int64_t number) const;
    // The source channel a source number stands for, while it is listed.
    std::optional<Channel> source(int64_t number) const;

    // A parameter consumers may set, and the sender it belongs to.
    enum class Setting { Delay, VideoSource };
    struct Writable {
        Setting setting;
        std::string sender;
    };
    std::optional<Writable> writable(const GlowPath& path) const;

    // What a level stream measures (peak at offset 0, RMS at 4), while it is listed.
    struct Meter {
        bool ofSource = false;
        std::string name;
        uint32_t channel = 0;
    };
    std::optional<Meter> meter(int32_t stream) const;

private:
    using ChannelKey = std::pair<std::string, uint32_t>;
    using MeterKey = std::tuple<bool, std::string, uint32_t>;
    // Numbers handed out in order, each kept for its key for the whole run.
    template <typename Key> struct Numbers {
        std::map<Key, uint32_t> byKey;
        std::map<uint32_t, Key> byNumber;
        uint32_t next = 1;
        uint32_t of(const Key& key);
    };

    // What the tree shows of a source: its state and the channels it lists.
    struct ShownSource {
        RouterState::Source state;
        uint32_t channels = 0;
        bool operator==(const ShownSource&) const = default;
    };

    // The new tree; the subtrees that the state leaves as they were are moved
    // over from the current one, their paths in `reused`.
    EmberElement build(const RouterState& state, std::set<GlowPath>& reused);
    EmberElement senderNode(const std::string& name, uint32_t number, const RouterState::Sender& sender);
    EmberElement sourceNode(const std::string& name, uint32_t number, const ShownSource& source);
    EmberElement levelsNode(bool ofSource, const std::string& name, uint32_t channels);
    EmberElement matrix(const RouterState& state);
    EmberElement labelsNode(std::string identifier, std::string description, char prefix,
        const std::vector<int32_t>& numbers, const std::map<int64_t, Channel>& names);
    EmberElement* locate(const GlowPath& path);
    static void merge(EmberElement& fresh, const EmberElement& old, GlowPath& path, const std::set<GlowPath>& reused,
        std::vector<Change>& changes);

    EmberElement root;
    Numbers<std::string> senderNumbers;
    Numbers<std::string> sourceNumbers;
    Numbers<ChannelKey> targetNumbers;
    Numbers<ChannelKey> sourceSignalNumbers;
    Numbers<MeterKey> streamNumbers;
    std::map<std::string, uint32_t> knownChannels; // a source's last known count, kept while it is off line

    // What the tree shows now.
    std::map<std::string, RouterState::Sender> shownSenders;
    std::map<std::string, ShownSource> shownSources;
    std::map<int64_t, Channel> currentTargets;
    std::map<int64_t, Channel> currentSources;
};
