#include "ember/GlowWriter.h"

#include "ember/BerTags.h"

namespace {

using BerTags::application;
using BerTags::context;

namespace App {
constexpr uint8_t kRoot = application(0);
constexpr uint8_t kParameter = application(1);
constexpr uint8_t kNode = application(3);
constexpr uint8_t kElementCollection = application(4);
constexpr uint8_t kStreamEntry = application(5);
constexpr uint8_t kStreamCollection = application(6);
constexpr uint8_t kQualifiedParameter = application(9);
constexpr uint8_t kQualifiedNode = application(10);
constexpr uint8_t kRootElementCollection = application(11);
constexpr uint8_t kStreamDescription = application(12);
constexpr uint8_t kMatrix = application(13);
constexpr uint8_t kTarget = application(14);
constexpr uint8_t kSource = application(15);
constexpr uint8_t kConnection = application(16);
constexpr uint8_t kQualifiedMatrix = application(17);
constexpr uint8_t kLabel = application(18);
} // namespace App

void value(BerWriter& ber, const GlowValue& v)
{
    if (const auto* i = std::get_if<int64_t>(&v))
        ber.integer(*i);
    else if (const auto* r = std::get_if<double>(&v))
        ber.real(*r);
    else if (const auto* s = std::get_if<std::string>(&v))
        ber.utf8(*s);
    else if (const auto* b = std::get_if<bool>(&v))
        ber.boolean(*b);
    else if (const auto* o = std::get_if<std::vector<uint8_t>>(&v))
        ber.octets(*o);
}

// [n] around one value.
template <typename Write> void field(BerWriter& ber, int n, Write write)
{
    ber.begin(context(n));
    write();
    ber.end();
}

void integerField(BerWriter& ber, int n, int64_t v)
{
    field(ber, n, [&] { ber.integer(v); });
}

void textField(BerWriter& ber, int n, const std::string& text)
{
    field(ber, n, [&] { ber.utf8(text); });
}

// A description is optional: an empty one is left out.
void descriptionField(BerWriter& ber, const std::string& text)
{
    if (!text.empty())
        textField(ber, 1, text);
}

void valueField(BerWriter& ber, int n, const GlowValue& v)
{
    if (!std::holds_alternative<std::monostate>(v))
        field(ber, n, [&] { value(ber, v); });
}

void nodeContents(BerWriter& ber, const GlowNode& node)
{
    textField(ber, 0, node.identifier);
    descriptionField(ber, node.description);
    field(ber, 3, [&] { ber.boolean(node.online); });
}

void parameterContents(BerWriter& ber, const GlowParameter& p)
{
    textField(ber, 0, p.identifier);
    descriptionField(ber, p.description);
    valueField(ber, 2, p.value);
    valueField(ber, 3, p.minimum);
    valueField(ber, 4, p.maximum);
    integerField(ber, 5, static_cast<int64_t>(p.access));
    if (!p.format.empty())
        textField(ber, 6, p.format);
    field(ber, 9, [&] { ber.boolean(p.online); });
    valueField(ber, 12, p.defaultValue);
    integerField(ber, 13, static_cast<int64_t>(p.type));
    if (p.streamIdentifier != 0)
        integerField(ber, 14, p.streamIdentifier);
    if (p.streamDescriptor) {
        field(ber, 16, [&] {
            ber.begin(App::kStreamDescription);
            integerField(ber, 0, p.streamDescriptor->format);
            integerField(ber, 1, p.streamDescriptor->offset);
            ber.end();
        });
    }
}

void matrixContents(BerWriter& ber, const GlowMatrix& m)
{
    textField(ber, 0, m.identifier);
    descriptionField(ber, m.description);
    integerField(ber, 2, m.type);
    integerField(ber, 3, m.addressingMode);
    integerField(ber, 4, m.targetCount);
    integerField(ber, 5, m.sourceCount);
    if (!m.labels.empty()) {
        field(ber, 10, [&] {
            ber.begin(BerTags::kSequence);
            for (const GlowLabel& label : m.labels) {
                field(ber, 0, [&] {
                    ber.begin(App::kLabel);
                    field(ber, 0, [&] { ber.relativeOid(label.basePath); });
                    textField(ber, 1, label.description);
                    ber.end();
                });
            }
            ber.end();
        });
    }
}

GlowWriter::Kind kindOf(const GlowContents& contents)
{
    return std::holds_alternative<GlowNode>(contents)     ? GlowWriter::Kind::Node
        : std::holds_alternative<GlowParameter>(contents) ? GlowWriter::Kind::Parameter
                                                          : GlowWriter::Kind::Matrix;
}

// An element's tag, numbered or qualified by its path.
uint8_t tagOf(GlowWriter::Kind kind, bool qualified)
{
    constexpr uint8_t kTags[][2] = {{App::kNode, App::kQualifiedNode}, {App::kParameter, App::kQualifiedParameter},
        {App::kMatrix, App::kQualifiedMatrix}};
    return kTags[static_cast<int>(kind)][qualified ? 1 : 0];
}

// A list of signals: [n] SEQUENCE of [0] Target/Source {[0] number}.
void signalList(BerWriter& ber, int n, uint8_t tag, std::span<const int32_t> numbers)
{
    field(ber, n, [&] {
        ber.begin(BerTags::kSequence);
        for (int32_t number : numbers) {
            field(ber, 0, [&] {
                ber.begin(tag);
                integerField(ber, 0, number);
                ber.end();
            });
        }
        ber.end();
    });
}

} // namespace

GlowWriter::GlowWriter()
{
    ber.begin(App::kRoot);
    ber.begin(App::kRootElementCollection);
}

void GlowWriter::numbered(uint32_t number, const GlowContents& element)
{
    ber.begin(context(0));
    ber.begin(tagOf(kindOf(element), false));
    integerField(ber, 0, number);
    contents(element);
    ber.end();
    ber.end();
}

void GlowWriter::qualified(const GlowPath& path, const GlowContents& element)
{
    beginQualified(kindOf(element), path);
    contents(element);
    endElement();
}

void GlowWriter::beginQualified(Kind kind, const GlowPath& path)
{
    ber.begin(context(0));
    ber.begin(tagOf(kind, true));
    field(ber, 0, [&] { ber.relativeOid(path); });
}

void GlowWriter::contents(const GlowContents& element)
{
    field(ber, 1, [&] {
        ber.begin(BerTags::kSet);
        if (const auto* node = std::get_if<GlowNode>(&element))
            nodeContents(ber, *node);
        else if (const auto* parameter = std::get_if<GlowParameter>(&element))
            parameterContents(ber, *parameter);
        else
            matrixContents(ber, std::get<GlowMatrix>(element));
        ber.end();
    });
}

void GlowWriter::beginChildren()
{
    ber.begin(context(2));
    ber.begin(App::kElementCollection);
}

void GlowWriter::endChildren()
{
    ber.end();
    ber.end();
}

void GlowWriter::signals(std::span<const int32_t> targets, std::span<const int32_t> sources)
{
    signalList(ber, 3, App::kTarget, targets);
    signalList(ber, 4, App::kSource, sources);
}

void GlowWriter::connections(std::span<const GlowConnection> list)
{
    field(ber, 5, [&] {
        ber.begin(BerTags::kSequence);
        for (const GlowConnection& connection : list) {
            field(ber, 0, [&] {
                ber.begin(App::kConnection);
                integerField(ber, 0, connection.target);
                field(ber, 1, [&] { ber.relativeOid(connection.sources); });
                if (connection.operation != GlowOperation::Absolute)
                    integerField(ber, 2, static_cast<int64_t>(connection.operation));
                if (connection.disposition != GlowDisposition::Tally)
                    integerField(ber, 3, static_cast<int64_t>(connection.disposition));
                ber.end();
            });
        }
        ber.end();
    });
}

void GlowWriter::endElement()
{
    ber.end();
    ber.end();
}

std::vector<uint8_t> GlowWriter::finish()
{
    ber.end();
    ber.end();
    return ber.take();
}

std::vector<uint8_t> GlowWriter::streamMessage(std::span<const GlowStreamEntry> entries)
{
    BerWriter ber;
    ber.begin(App::kRoot);
    ber.begin(App::kStreamCollection);
    for (const GlowStreamEntry& entry : entries) {
        field(ber, 0, [&] {
            ber.begin(App::kStreamEntry);
            integerField(ber, 0, entry.identifier);
            valueField(ber, 1, entry.value);
            ber.end();
        });
    }
    ber.end();
    ber.end();
    return ber.take();
}
