#include "ember/EmberTree.h"

#include "engine/RoutingRules.h"

#include <map>
#include <utility>

namespace {

// The numbers of the fixed part of the tree.
constexpr uint32_t kKestrix = 1;
constexpr uint32_t kIdentity = 1;
constexpr uint32_t kRouting = 2;
constexpr uint32_t kLabels = 3;
constexpr uint32_t kSenders = 4;
constexpr uint32_t kSources = 5;
constexpr uint32_t kTargetLabels = 1;
constexpr uint32_t kSourceLabels = 2;
// Of a sender, a source and a channel's levels.
constexpr uint32_t kChannels = 1;
constexpr uint32_t kDelay = 2;
constexpr uint32_t kVideoSource = 3;
constexpr uint32_t kOnline = 1;
constexpr uint32_t kSourceChannels = 2;
constexpr uint32_t kSampleRate = 3;
constexpr uint32_t kLevels = 4;
constexpr uint32_t kPeak = 1;
constexpr uint32_t kRms = 2;

constexpr double kLevelFloorDbfs = -100.0; // digital silence, as the page's levels read it

EmberElement node(std::string identifier, std::string description)
{
    return {GlowNode{std::move(identifier), std::move(description), true}, {}, {}, {}, {}};
}

GlowParameter parameter(std::string identifier, std::string description, GlowValue value, GlowParameterType type)
{
    GlowParameter p;
    p.identifier = std::move(identifier);
    p.description = std::move(description);
    p.value = std::move(value);
    p.type = type;
    return p;
}

EmberElement element(GlowParameter p)
{
    return {std::move(p), {}, {}, {}, {}};
}

EmberElement text(std::string identifier, std::string description, std::string value)
{
    return element(
        parameter(std::move(identifier), std::move(description), std::move(value), GlowParameterType::String));
}

EmberElement integer(std::string identifier, std::string description, int64_t value, std::string format = {})
{
    GlowParameter p = parameter(std::move(identifier), std::move(description), value, GlowParameterType::Integer);
    p.format = std::move(format);
    return element(std::move(p));
}

std::string channelName(const std::string& name, uint32_t channel)
{
    return name + " CH " + std::to_string(channel + 1);
}

bool online(const GlowContents& contents)
{
    if (const auto* n = std::get_if<GlowNode>(&contents))
        return n->online;
    if (const auto* p = std::get_if<GlowParameter>(&contents))
        return p->online;
    return true;
}

// What stays of an element that went away: its contents, off line, and nothing below it.
EmberElement offline(const EmberElement& gone)
{
    EmberElement tomb{gone.contents, {}, {}, {}, {}};
    if (auto* n = std::get_if<GlowNode>(&tomb.contents))
        n->online = false;
    if (auto* p = std::get_if<GlowParameter>(&tomb.contents))
        p->online = false;
    return tomb;
}

GlowPath child(const GlowPath& path, uint32_t number)
{
    GlowPath extended = path;
    extended.push_back(number);
    return extended;
}

} // namespace

const GlowPath EmberTree::kMatrixPath{kKestrix, kRouting};

template <typename Key> uint32_t EmberTree::Numbers<Key>::of(const Key& key)
{
    const auto [at, added] = byKey.emplace(key, next);
    if (added)
        byNumber.emplace(next++, key);
    return at->second;
}

EmberTree::EmberTree()
{
    root = node({}, {});
}

std::vector<EmberTree::Change> EmberTree::update(const RouterState& state)
{
    std::set<GlowPath> reused;
    EmberElement fresh = build(state, reused);
    std::vector<Change> changes;
    GlowPath path;
    merge(fresh, root, path, reused, changes);
    root = std::move(fresh);
    return changes;
}

void EmberTree::merge(EmberElement& fresh, const EmberElement& old, GlowPath& path, const std::set<GlowPath>& reused,
    std::vector<Change>& changes)
{
    for (auto& [number, now] : fresh.children) {
        path.push_back(number);
        const auto before = old.children.find(number);
        if (reused.count(path) != 0) {
            // Moved over unchanged.
        } else if (before == old.children.end()) {
            changes.push_back({Change::What::Added, path, {}});
        } else if (std::holds_alternative<GlowMatrix>(now.contents)) {
            const EmberElement& was = before->second;
            // By target: a large routing has thousands to compare at each change.
            std::map<int64_t, const std::vector<uint32_t>*> carried;
            for (const GlowConnection& connection : was.connections)
                carried.emplace(connection.target, &connection.sources);
            std::set<int32_t> modified;
            for (const GlowConnection& connection : now.connections)
                if (const auto same = carried.find(connection.target);
                    same != carried.end() && *same->second != connection.sources)
                    modified.insert(static_cast<int32_t>(connection.target));
            if (now.contents != was.contents || now.targets != was.targets || now.sources != was.sources ||
                now.connections != was.connections)
                changes.push_back({Change::What::Matrix, path, std::move(modified)});
        } else {
            if (now.contents != before->second.contents)
                changes.push_back({Change::What::Changed, path, {}});
            merge(now, before->second, path, reused, changes);
        }
        path.pop_back();
    }
    for (const auto& [number, was] : old.children) {
        if (fresh.children.count(number) != 0)
            continue;
        fresh.children.emplace(number, offline(was));
        if (online(was.contents))
            changes.push_back({Change::What::Changed, child(path, number), {}});
    }
}

const EmberElement* EmberTree::find(const GlowPath& path) const
{
    const EmberElement* at = &root;
    for (uint32_t number : path) {
        const auto next = at->children.find(number);
        if (next == at->children.end())
            return nullptr;
        at = &next->second;
    }
    return at;
}

EmberElement* EmberTree::locate(const GlowPath& path)
{
    return const_cast<EmberElement*>(std::as_const(*this).find(path));
}

std::optional<EmberTree::Channel> EmberTree::target(int64_t number) const
{
    const auto found = currentTargets.find(number);
    return found == currentTargets.end() ? std::nullopt : std::optional(found->second);
}

std::optional<EmberTree::Channel> EmberTree::source(int64_t number) const
{
    const auto found = currentSources.find(number);
    return found == currentSources.end() ? std::nullopt : std::optional(found->second);
}

std::optional<EmberTree::Writable> EmberTree::writable(const GlowPath& path) const
{
    if (path.size() != 4 || path[0] != kKestrix || path[1] != kSenders ||
        (path[3] != kDelay && path[3] != kVideoSource))
        return std::nullopt;
    const auto name = senderNumbers.byNumber.find(path[2]);
    if (name == senderNumbers.byNumber.end() || shownSenders.count(name->second) == 0)
        return std::nullopt;
    // "Monitor" plays on the sound output: it carries no pictures.
    if (path[3] == kVideoSource && name->second == RoutingRules::kReservedSenderName)
        return std::nullopt;
    return Writable{path[3] == kDelay ? Setting::Delay : Setting::VideoSource, name->second};
}

std::optional<EmberTree::Meter> EmberTree::meter(int32_t stream) const
{
    const auto key = streamNumbers.byNumber.find(static_cast<uint32_t>(stream));
    if (stream <= 0 || key == streamNumbers.byNumber.end())
        return std::nullopt;
    const auto& [ofSource, name, channel] = key->second;
    size_t channels = 0;
    if (ofSource) {
        if (const auto shown = shownSources.find(name); shown != shownSources.end())
            channels = shown->second.channels;
    } else if (const auto shown = shownSenders.find(name); shown != shownSenders.end()) {
        channels = shown->second.channels.size();
    }
    return channel < channels ? std::optional(Meter{ofSource, name, channel}) : std::nullopt;
}

EmberElement EmberTree::build(const RouterState& state, std::set<GlowPath>& reused)
{
    // An element of the current tree that is as it would be built again: moved over.
    const auto reuse = [&](const GlowPath& path, bool unchanged, EmberElement& into) {
        EmberElement* was = unchanged ? locate(path) : nullptr;
        if (was == nullptr || !online(was->contents))
            return false;
        into = std::move(*was);
        reused.insert(path);
        return true;
    };

    EmberElement kestrix = node("Kestrix", "Kestrix");

    EmberElement identity = node("identity", "Identity");
    identity.children[1] = text("product", "Product", "Kestrix");
    identity.children[2] = text("version", "Version", state.version);
    identity.children[3] = text("ndiRuntime", "NDI runtime", state.runtime);
    identity.children[4] = text("ndiRuntimeVersion", "NDI runtime version", state.runtimeVersion);
    kestrix.children[kIdentity] = std::move(identity);

    EmberElement senders = node("senders", "Senders");
    for (const auto& [name, sender] : state.senders) {
        const uint32_t number = senderNumbers.of(name);
        const auto shown = shownSenders.find(name);
        EmberElement& into = senders.children[number];
        if (!reuse({kKestrix, kSenders, number}, shown != shownSenders.end() && shown->second == sender, into))
            into = senderNode(name, number, sender);
    }
    shownSenders = state.senders;
    kestrix.children[kSenders] = std::move(senders);

    // Sources the routing names are listed too, found or not, so that every route has its source.
    std::map<std::string, RouterState::Source> sources = state.sources;
    for (const auto& [_, sender] : state.senders)
        for (const ChannelMapping& mapping : sender.channels)
            if (mapping.sourceChannel != kNoChannel)
                sources.emplace(mapping.sourceName, RouterState::Source{});
    EmberElement sourceNodes = node("sources", "Sources");
    std::map<std::string, ShownSource> nowShown;
    for (const auto& [name, source] : sources) {
        if (source.online && source.channels >= 0)
            knownChannels[name] = static_cast<uint32_t>(source.channels);
        const auto known = knownChannels.find(name);
        const ShownSource now{source, known == knownChannels.end() ? 0 : known->second};
        const uint32_t number = sourceNumbers.of(name);
        const auto shown = shownSources.find(name);
        EmberElement& into = sourceNodes.children[number];
        if (!reuse({kKestrix, kSources, number}, shown != shownSources.end() && shown->second == now, into))
            into = sourceNode(name, number, now);
        nowShown.emplace(name, now);
    }
    shownSources = std::move(nowShown);
    kestrix.children[kSources] = std::move(sourceNodes);

    // The labels follow the matrix's signals; most changes leave those as they were.
    const EmberElement* before = find(kMatrixPath);
    EmberElement routing = matrix(state);
    EmberElement labels = node("labels", "Names");
    EmberElement& targetLabels = labels.children[kTargetLabels];
    if (!reuse(
            {kKestrix, kLabels, kTargetLabels}, before != nullptr && before->targets == routing.targets, targetLabels))
        targetLabels = labelsNode("targets", "Targets", 't', routing.targets, currentTargets);
    EmberElement& sourceLabels = labels.children[kSourceLabels];
    if (!reuse(
            {kKestrix, kLabels, kSourceLabels}, before != nullptr && before->sources == routing.sources, sourceLabels))
        sourceLabels = labelsNode("sources", "Sources", 's', routing.sources, currentSources);
    kestrix.children[kRouting] = std::move(routing);
    kestrix.children[kLabels] = std::move(labels);

    EmberElement top = node({}, {});
    top.children[kKestrix] = std::move(kestrix);
    return top;
}

EmberElement EmberTree::senderNode(const std::string& name, uint32_t number, const RouterState::Sender& sender)
{
    EmberElement result = node("sender" + std::to_string(number), name);
    result.children[kChannels] = integer("channels", "Channels", static_cast<int64_t>(sender.channels.size()));

    GlowParameter delay = parameter("delay", "A/V delay in ms (the page's slider: -2000 to 2000)",
        int64_t{sender.delayMs}, GlowParameterType::Integer);
    delay.access = GlowAccess::ReadWrite;
    delay.minimum = int64_t{-RoutingRules::kMaxDelayMs};
    delay.maximum = int64_t{RoutingRules::kMaxDelayMs};
    delay.defaultValue = int64_t{0};
    delay.format = "%d ms";
    result.children[kDelay] = element(std::move(delay));

    GlowParameter video = parameter("videoSource", "Video source", sender.videoSource, GlowParameterType::String);
    if (name != RoutingRules::kReservedSenderName)
        video.access = GlowAccess::ReadWrite;
    result.children[kVideoSource] = element(std::move(video));
    result.children[kLevels] = levelsNode(false, name, static_cast<uint32_t>(sender.channels.size()));
    return result;
}

EmberElement EmberTree::sourceNode(const std::string& name, uint32_t number, const ShownSource& source)
{
    EmberElement result = node("source" + std::to_string(number), name);
    result.children[kOnline] = element(parameter("online", "On line", source.state.online, GlowParameterType::Boolean));
    // While it is off line, the count it had; -1 while it was never known.
    const int64_t shown =
        source.state.online ? source.state.channels : (knownChannels.count(name) != 0 ? int64_t{source.channels} : -1);
    result.children[kSourceChannels] = integer("channels", "Channels", shown);
    result.children[kSampleRate] = integer("sampleRate", "Sample rate", source.state.sampleRate, "%d Hz");
    result.children[kLevels] = levelsNode(true, name, source.channels);
    return result;
}

EmberElement EmberTree::levelsNode(bool ofSource, const std::string& name, uint32_t channels)
{
    EmberElement levels = node("levels", "Levels");
    for (uint32_t c = 0; c < channels; ++c) {
        const auto stream = static_cast<int32_t>(streamNumbers.of({ofSource, name, c}));
        EmberElement channel = node("ch" + std::to_string(c + 1), "CH " + std::to_string(c + 1));
        const std::pair<const char*, const char*> kinds[] = {{"peak", "Peak"}, {"rms", "RMS"}};
        for (int k = 0; k < 2; ++k) {
            // Its value comes only as a stream, to the consumers that subscribe.
            GlowParameter level = parameter(kinds[k].first, kinds[k].second, {}, GlowParameterType::Real);
            level.minimum = kLevelFloorDbfs;
            level.maximum = 0.0;
            level.format = "%.1f dBFS";
            level.streamIdentifier = stream;
            level.streamDescriptor = GlowStreamDescriptor{kGlowStreamFloat32LE, 4 * k};
            channel.children[k == 0 ? kPeak : kRms] = element(std::move(level));
        }
        levels.children[c + 1] = std::move(channel);
    }
    return levels;
}

EmberElement EmberTree::labelsNode(std::string identifier, std::string description, char prefix,
    const std::vector<int32_t>& numbers, const std::map<int64_t, Channel>& names)
{
    EmberElement labels = node(std::move(identifier), std::move(description));
    for (int32_t number : numbers) {
        const Channel& named = names.at(number);
        labels.children[static_cast<uint32_t>(number)] =
            text(prefix + std::to_string(number), {}, channelName(named.name, named.channel));
    }
    return labels;
}

EmberElement EmberTree::matrix(const RouterState& state)
{
    currentTargets.clear();
    currentSources.clear();
    EmberElement result = {GlowMatrix{}, {}, {}, {}, {}};

    // The source channels: every channel of every source on line whose count is known, and every one a route
    // names, found or not.
    std::set<ChannelKey> signals;
    for (const auto& [name, source] : state.sources)
        for (int32_t c = 0; source.online && c < source.channels; ++c)
            signals.emplace(name, static_cast<uint32_t>(c));
    for (const auto& [_, sender] : state.senders)
        for (const ChannelMapping& mapping : sender.channels)
            if (mapping.sourceChannel != kNoChannel)
                signals.emplace(mapping.sourceName, mapping.sourceChannel);
    for (const ChannelKey& key : signals) {
        const uint32_t number = sourceSignalNumbers.of(key);
        result.sources.push_back(static_cast<int32_t>(number));
        currentSources[number] = {key.first, key.second};
    }

    for (const auto& [name, sender] : state.senders) {
        for (uint32_t c = 0; c < sender.channels.size(); ++c) {
            const uint32_t number = targetNumbers.of({name, c});
            result.targets.push_back(static_cast<int32_t>(number));
            currentTargets[number] = {name, c};

            GlowConnection connection;
            connection.target = number;
            const ChannelMapping& mapping = sender.channels[c];
            if (mapping.sourceChannel != kNoChannel) {
                connection.sources = {sourceSignalNumbers.of({mapping.sourceName, mapping.sourceChannel})};
                // A route whose source is off line, or lacks the channel, is kept and carries nothing yet.
                const auto source = state.sources.find(mapping.sourceName);
                const bool carries = source != state.sources.end() && source->second.online &&
                    (source->second.channels < 0 ||
                        mapping.sourceChannel < static_cast<uint32_t>(source->second.channels));
                if (!carries)
                    connection.disposition = GlowDisposition::Pending;
            }
            result.connections.push_back(std::move(connection));
        }
    }

    GlowMatrix contents;
    contents.identifier = "routing";
    contents.description = "Routing";
    contents.targetCount = static_cast<int32_t>(result.targets.size());
    contents.sourceCount = static_cast<int32_t>(result.sources.size());
    contents.labels = {{{kKestrix, kLabels}, "Names"}};
    result.contents = std::move(contents);
    return result;
}
