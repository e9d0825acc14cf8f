// The routing as an Ember+ tree: numbers that stay with their names for the
// whole run, what a consumer hears of a change, routes to sources that are
// not there, and what consumers may set.

#include "ember/EmberTree.h"

#include <gtest/gtest.h>

namespace {

using What = EmberTree::Change::What;

const GlowPath kSenders{1, 4};
const GlowPath kSources{1, 5};
const GlowPath kTargetLabels{1, 3, 1};

RouterState::Sender sender(size_t channels, std::vector<std::pair<size_t, ChannelMapping>> routes = {})
{
    RouterState::Sender result;
    result.channels.resize(channels);
    for (auto& [channel, mapping] : routes)
        result.channels[channel] = mapping;
    return result;
}

const EmberElement& at(const EmberTree& tree, GlowPath path)
{
    const EmberElement* element = tree.find(path);
    EXPECT_NE(element, nullptr);
    static const EmberElement none;
    return element != nullptr ? *element : none;
}

GlowPath child(GlowPath path, uint32_t number)
{
    path.push_back(number);
    return path;
}

std::string description(const EmberTree& tree, const GlowPath& path)
{
    return std::get<GlowNode>(at(tree, path).contents).description;
}

const GlowParameter& parameter(const EmberTree& tree, const GlowPath& path)
{
    return std::get<GlowParameter>(at(tree, path).contents);
}

std::set<std::pair<What, GlowPath>> summary(const std::vector<EmberTree::Change>& changes)
{
    std::set<std::pair<What, GlowPath>> result;
    for (const auto& change : changes)
        result.emplace(change.what, change.path);
    return result;
}

} // namespace

TEST(EmberTree, namesKeepTheirNumbersForTheRunAndWhatGoesStaysOffLine)
{
    EmberTree tree;
    RouterState state;
    state.sources["HOST (Mic)"] = {true, 2, 48000};
    state.senders["Booth"] = sender(2, {{0, {1, "HOST (Mic)"}}});
    tree.update(state);
    const EmberElement& matrix = at(tree, EmberTree::kMatrixPath);
    EXPECT_EQ(matrix.targets, (std::vector<int32_t>{1, 2}));
    EXPECT_EQ(matrix.sources, (std::vector<int32_t>{1, 2}));
    EXPECT_EQ(matrix.connections[0], (GlowConnection{1, {2}}));
    EXPECT_EQ(parameter(tree, child(kTargetLabels, 2)).value, GlowValue(std::string("Booth CH 2")));
    EXPECT_EQ(description(tree, child(kSenders, 1)), "Booth");

    // Booth goes and Stage comes: Stage gets new numbers; Booth stays, off line, for the consumers that knew it.
    state.senders.erase("Booth");
    state.senders["Stage"] = sender(1);
    auto changes = tree.update(state);
    EXPECT_EQ(summary(changes),
        (std::set<std::pair<What, GlowPath>>{{What::Matrix, EmberTree::kMatrixPath},
            {What::Changed, child(kTargetLabels, 1)}, {What::Changed, child(kTargetLabels, 2)},
            {What::Added, child(kTargetLabels, 3)}, {What::Changed, child(kSenders, 1)},
            {What::Added, child(kSenders, 2)}}));
    EXPECT_FALSE(std::get<GlowNode>(at(tree, child(kSenders, 1)).contents).online);
    EXPECT_TRUE(at(tree, child(kSenders, 1)).children.empty());
    EXPECT_EQ(at(tree, EmberTree::kMatrixPath).targets, (std::vector<int32_t>{3}));
    EXPECT_FALSE(tree.target(1).has_value());

    // Booth back: its numbers again, and the change of one connection is marked.
    state.senders["Booth"] = sender(2, {{1, {0, "HOST (Mic)"}}});
    changes = tree.update(state);
    EXPECT_EQ(description(tree, child(kSenders, 1)), "Booth");
    EXPECT_EQ(at(tree, EmberTree::kMatrixPath).targets, (std::vector<int32_t>{1, 2, 3}));
    EXPECT_EQ(changes.front().what, What::Matrix);
    EXPECT_EQ(changes.front().modifiedTargets, (std::set<int32_t>{}));
    state.senders["Booth"] = sender(2, {{0, {0, "HOST (Mic)"}}, {1, {0, "HOST (Mic)"}}});
    changes = tree.update(state);
    ASSERT_EQ(summary(changes), (std::set<std::pair<What, GlowPath>>{{What::Matrix, EmberTree::kMatrixPath}}));
    EXPECT_EQ(changes.front().modifiedTargets, (std::set<int32_t>{1}));
    // Nothing changed, nothing to tell.
    EXPECT_TRUE(tree.update(state).empty());
}

TEST(EmberTree, routesToSourcesThatAreNotThereAreKeptAndPending)
{
    EmberTree tree;
    RouterState state;
    state.sources["HOST (Mic)"] = {true, 2, 48000};
    state.senders["Booth"] = sender(3, {{0, {1, "HOST (Mic)"}}, {1, {5, "HOST (Mic)"}}, {2, {0, "FAR (Away)"}}});
    tree.update(state);
    const auto dispositions = [&] {
        std::vector<std::pair<std::vector<uint32_t>, GlowDisposition>> result;
        for (const GlowConnection& c : at(tree, EmberTree::kMatrixPath).connections)
            result.emplace_back(c.sources, c.disposition);
        return result;
    };
    // A channel the source lacks and a source never found: listed, the routes pending.
    const auto& sources = at(tree, EmberTree::kMatrixPath).sources;
    ASSERT_EQ(sources.size(), 4u); // 1 FAR CH 1; 2, 3, 4 Mic CH 1, CH 2, CH 6
    EXPECT_EQ(dispositions(),
        (std::vector<std::pair<std::vector<uint32_t>, GlowDisposition>>{
            {{3}, GlowDisposition::Tally}, {{4}, GlowDisposition::Pending}, {{1}, GlowDisposition::Pending}}));
    EXPECT_EQ(tree.source(4)->name, "HOST (Mic)");
    EXPECT_EQ(tree.source(4)->channel, 5u);

    // The source goes off line: its channels leave the matrix but those its routes name, which stay, pending; its
    // node stays with the channels it had.
    state.sources["HOST (Mic)"] = {false, -1, 0};
    tree.update(state);
    EXPECT_EQ(at(tree, EmberTree::kMatrixPath).sources, (std::vector<int32_t>{1, 3, 4}));
    EXPECT_EQ(dispositions()[0], (std::pair<std::vector<uint32_t>, GlowDisposition>{{3}, GlowDisposition::Pending}));
    const GlowPath mic = child(kSources, 2);
    EXPECT_EQ(description(tree, mic), "HOST (Mic)");
    EXPECT_EQ(parameter(tree, child(mic, 1)).value, GlowValue(false));
    EXPECT_EQ(parameter(tree, child(mic, 2)).value, GlowValue(int64_t{2}));
    EXPECT_EQ(parameter(tree, child(child(kSources, 1), 2)).value, GlowValue(int64_t{-1})); // FAR: never known
    // Back on line, its channels come back with their numbers.
    state.sources["HOST (Mic)"] = {true, 2, 48000};
    tree.update(state);
    EXPECT_EQ(at(tree, EmberTree::kMatrixPath).sources, (std::vector<int32_t>{1, 2, 3, 4}));
}

TEST(EmberTree, consumersMaySetDelaysAndVideoSourcesAndSubscribeToLevels)
{
    EmberTree tree;
    RouterState state;
    state.senders["Booth"] = sender(2);
    state.senders["Monitor"] = sender(2);
    state.sources["HOST (Mic)"] = {true, 1, 48000};
    tree.update(state);
    const GlowPath booth = child(kSenders, 1), monitor = child(kSenders, 2);
    EXPECT_EQ(tree.writable(child(booth, 2))->setting, EmberTree::Setting::Delay);
    EXPECT_EQ(tree.writable(child(booth, 3))->sender, "Booth");
    EXPECT_FALSE(tree.writable(child(monitor, 3)).has_value()) << "Monitor carries no pictures";
    EXPECT_FALSE(tree.writable(child(booth, 1)).has_value());
    EXPECT_EQ(tree.target(4)->name, "Monitor");

    // Peak and RMS of a channel share a stream, at offsets 0 and 4.
    const GlowPath channel{1, 5, 1, 4, 1};
    const GlowParameter& peak = parameter(tree, child(channel, 1));
    const GlowParameter& rms = parameter(tree, child(channel, 2));
    EXPECT_EQ(peak.streamIdentifier, rms.streamIdentifier);
    EXPECT_EQ(rms.streamDescriptor->offset, 4);
    const auto meter = tree.meter(peak.streamIdentifier);
    ASSERT_TRUE(meter.has_value());
    EXPECT_TRUE(meter->ofSource);
    EXPECT_EQ(meter->name, "HOST (Mic)");
    // Booth's channel 2 streams until Booth has one channel left.
    const int32_t boothSecond = parameter(tree, {1, 4, 1, 4, 2, 1}).streamIdentifier;
    EXPECT_TRUE(tree.meter(boothSecond).has_value());
    state.senders["Booth"] = sender(1);
    tree.update(state);
    EXPECT_FALSE(tree.meter(boothSecond).has_value());
    EXPECT_FALSE(tree.meter(0).has_value());
}
