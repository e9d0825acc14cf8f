#include "ember/GlowReader.h"

#include "ember/BerReader.h"
#include "ember/BerTags.h"

#include <algorithm>

namespace {

using BerTags::application;
using BerTags::context;
using Tlv = BerReader::Tlv;

constexpr uint8_t kRoot = application(0);
constexpr uint8_t kParameter = application(1);
constexpr uint8_t kCommand = application(2);
constexpr uint8_t kNode = application(3);
constexpr uint8_t kElementCollection = application(4);
constexpr uint8_t kQualifiedParameter = application(9);
constexpr uint8_t kQualifiedNode = application(10);
constexpr uint8_t kRootElementCollection = application(11);
constexpr uint8_t kMatrix = application(13);
constexpr uint8_t kConnection = application(16);
constexpr uint8_t kQualifiedMatrix = application(17);
constexpr uint8_t kFunction = application(19);
constexpr uint8_t kQualifiedFunction = application(20);
constexpr uint8_t kQualifiedTemplate = application(24);
constexpr uint8_t kTemplate = application(25);

class Walk {
public:
    Walk(std::vector<GlowRequest>& found, BerReader::Ends& indefiniteEnds) : out(found), ends(indefiniteEnds) { }

    // Why the message was refused; empty while it reads well.
    const std::string& failure() const { return refusal; }

    void root(const Tlv& tlv)
    {
        BerReader inside = open(tlv);
        while (auto item = inside.next())
            if (item->tag == kRootElementCollection)
                for (const Tlv& element : elementsOf(*item))
                    this->element(element, {}, 0);
        // Stream values and invocation results are a provider's to send, not to get.
        check(inside);
    }

private:
    // The elements of a RootElementCollection or an ElementCollection, each in a [0].
    std::vector<Tlv> elementsOf(const Tlv& collection)
    {
        std::vector<Tlv> elements;
        BerReader items = open(collection);
        while (auto item = items.next()) {
            if (item->tag != context(0))
                continue;
            BerReader wrapped = open(*item);
            if (auto element = wrapped.next())
                elements.push_back(*element);
            check(wrapped);
        }
        check(items);
        return elements;
    }

    void element(const Tlv& tlv, const GlowPath& parent, size_t level)
    {
        if (tlv.tag == kCommand) {
            command(tlv, parent);
            return;
        }
        const bool qualified = tlv.tag == kQualifiedParameter || tlv.tag == kQualifiedNode ||
            tlv.tag == kQualifiedMatrix || tlv.tag == kQualifiedFunction || tlv.tag == kQualifiedTemplate;
        const bool numbered = tlv.tag == kParameter || tlv.tag == kNode || tlv.tag == kMatrix || tlv.tag == kFunction ||
            tlv.tag == kTemplate;
        if (!qualified && !numbered)
            return;

        std::optional<GlowPath> path;
        std::optional<Tlv> contents, children, connections;
        BerReader fields = open(tlv);
        while (auto field = fields.next()) {
            if (field->tag == context(0))
                path = qualified ? relativeOid(*field) : childPath(parent, *field);
            else if (field->tag == context(1))
                contents = field;
            else if (field->tag == context(2))
                children = field;
            else if (field->tag == context(5))
                connections = field;
        }
        if (!check(fields) || !path)
            return;
        if (path->size() > kMaxPathLength || level > kMaxPathLength) {
            fail("elements nest deeper than " + std::to_string(kMaxPathLength) + " levels");
            return;
        }

        std::vector<Tlv> kids;
        if (children) {
            BerReader list = open(*children);
            while (auto collection = list.next()) {
                if (collection->tag == kElementCollection) {
                    const std::vector<Tlv> more = elementsOf(*collection);
                    kids.insert(kids.end(), more.begin(), more.end());
                }
            }
            check(list);
        }
        // A consumer sends what it has cached of an element with its command: then only the command counts.
        const bool commanded =
            std::any_of(kids.begin(), kids.end(), [](const Tlv& kid) { return kid.tag == kCommand; });
        if (!commanded) {
            if ((tlv.tag == kParameter || tlv.tag == kQualifiedParameter) && contents)
                valueOf(*contents, *path);
            if ((tlv.tag == kMatrix || tlv.tag == kQualifiedMatrix) && connections)
                connect(*connections, *path);
        }
        for (const Tlv& kid : kids)
            element(kid, *path, level + 1);
    }

    void command(const Tlv& tlv, const GlowPath& path)
    {
        BerReader fields = open(tlv);
        std::optional<int64_t> number;
        while (auto field = fields.next())
            if (field->tag == context(0))
                number = integer(*field);
        if (!check(fields) || !number)
            return;
        GlowRequest request;
        request.path = path;
        switch (*number) {
        case kGlowCommandSubscribe: request.kind = GlowRequest::Kind::Subscribe; break;
        case kGlowCommandUnsubscribe: request.kind = GlowRequest::Kind::Unsubscribe; break;
        case kGlowCommandGetDirectory: request.kind = GlowRequest::Kind::GetDirectory; break;
        case kGlowCommandInvoke: request.kind = GlowRequest::Kind::Invoke; break;
        default: return;
        }
        out.push_back(std::move(request));
    }

    // A parameter's contents: a request when they carry a value.
    void valueOf(const Tlv& contents, const GlowPath& path)
    {
        BerReader wrapper = open(contents);
        while (auto set = wrapper.next()) {
            BerReader fields = open(*set);
            while (auto field = fields.next()) {
                if (field->tag != context(2))
                    continue;
                BerReader wrapped = open(*field);
                if (auto v = wrapped.next()) {
                    GlowRequest request;
                    request.kind = GlowRequest::Kind::SetValue;
                    request.path = path;
                    request.value = value(*v);
                    out.push_back(std::move(request));
                }
                check(wrapped);
            }
            check(fields);
        }
        check(wrapper);
    }

    void connect(const Tlv& field, const GlowPath& path)
    {
        GlowRequest request;
        request.kind = GlowRequest::Kind::Connect;
        request.path = path;
        BerReader sequence = open(field);
        while (auto list = sequence.next()) {
            BerReader items = open(*list);
            while (auto item = items.next()) {
                BerReader wrapped = open(*item);
                while (auto connection = wrapped.next())
                    if (connection->tag == kConnection)
                        if (auto read = this->connection(*connection))
                            request.connections.push_back(*read);
                check(wrapped);
            }
            check(items);
        }
        if (check(sequence) && !request.connections.empty())
            out.push_back(std::move(request));
    }

    // A connection whose target, sources or operation cannot be read would change a route nobody asked to change.
    std::optional<GlowConnection> connection(const Tlv& tlv)
    {
        GlowConnection connection;
        std::optional<int64_t> target;
        bool readable = true;
        BerReader fields = open(tlv);
        while (auto field = fields.next()) {
            if (field->tag == context(0)) {
                target = integer(*field);
                readable = readable && target;
            } else if (field->tag == context(1)) {
                const auto sources = relativeOid(*field);
                readable = readable && sources;
                connection.sources = sources.value_or(GlowPath{});
            } else if (field->tag == context(2)) {
                const auto operation = integer(*field);
                readable = readable && operation && *operation >= 0 && *operation <= 2;
                connection.operation = static_cast<GlowOperation>(readable ? *operation : 0);
            }
        }
        if (!check(fields))
            return std::nullopt;
        if (!readable || !target) {
            fail("a connection lacks its target, or its target, sources or operation cannot be read");
            return std::nullopt;
        }
        connection.target = *target;
        return connection;
    }

    static GlowValue value(const Tlv& tlv)
    {
        switch (tlv.tag) {
        case BerTags::kInteger:
            if (auto i = BerReader::integer(tlv.contents))
                return *i;
            return {};
        case BerTags::kReal:
            if (auto r = BerReader::real(tlv.contents))
                return *r;
            return {};
        case BerTags::kUtf8String: return BerReader::text(tlv.contents);
        case BerTags::kBoolean: return BerReader::boolean(tlv.contents);
        case BerTags::kOctetString: return std::vector<uint8_t>(tlv.contents.begin(), tlv.contents.end());
        default: return {};
        }
    }

    // The universal value inside a [n].
    std::optional<Tlv> wrappedValue(const Tlv& field)
    {
        BerReader wrapped = open(field);
        auto inner = wrapped.next();
        check(wrapped);
        return inner;
    }

    std::optional<int64_t> integer(const Tlv& field)
    {
        const auto inner = wrappedValue(field);
        return inner && inner->tag == BerTags::kInteger ? BerReader::integer(inner->contents) : std::nullopt;
    }

    std::optional<GlowPath> relativeOid(const Tlv& field)
    {
        const auto inner = wrappedValue(field);
        return inner && inner->tag == BerTags::kRelativeOid ? BerReader::relativeOid(inner->contents) : std::nullopt;
    }

    std::optional<GlowPath> childPath(const GlowPath& parent, const Tlv& field)
    {
        const auto number = integer(field);
        if (!number || *number < 0 || *number > UINT32_MAX)
            return std::nullopt;
        GlowPath path = parent;
        path.push_back(static_cast<uint32_t>(*number));
        return path;
    }

    BerReader open(const Tlv& tlv)
    {
        if ((tlv.tag & BerTags::kConstructed) == 0)
            fail("a Glow container is a primitive value");
        return BerReader(refusal.empty() ? tlv.contents : std::span<const uint8_t>(), &ends);
    }

    bool check(const BerReader& reader)
    {
        if (reader.failed())
            fail("a part of the message is not valid BER");
        return refusal.empty();
    }

    void fail(std::string why)
    {
        if (refusal.empty())
            refusal = std::move(why);
    }

    // Deeper than any element a consumer can name here (by path or by nesting); bounds the walk's recursion.
    static constexpr size_t kMaxPathLength = 32;

    std::vector<GlowRequest>& out;
    BerReader::Ends& ends;
    std::string refusal;
};

} // namespace

std::optional<std::vector<GlowRequest>> GlowReader::requests(std::span<const uint8_t> message, std::string& why)
{
    std::vector<GlowRequest> found;
    BerReader::Ends ends;
    Walk walk(found, ends);
    BerReader reader(message, &ends);
    bool any = false;
    while (auto tlv = reader.next()) {
        if (tlv->tag != kRoot) {
            why = "the message is not a Glow root";
            return std::nullopt;
        }
        any = true;
        walk.root(*tlv);
    }
    if (reader.failed() || !walk.failure().empty() || !any) {
        why = reader.failed() ? "the message is not valid BER" : any ? walk.failure() : "the message is empty";
        return std::nullopt;
    }
    return found;
}
