// The Ember+ codec on the bytes checked against other Ember+ peers (S101
// frames, BER values, Glow messages), and on what a hostile consumer may send.

#include "ember/BerReader.h"
#include "ember/BerWriter.h"
#include "ember/GlowReader.h"
#include "ember/GlowWriter.h"
#include "ember/S101.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <sstream>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes hex(const std::string& text)
{
    Bytes bytes;
    std::istringstream in(text);
    for (std::string word; in >> word;)
        bytes.push_back(static_cast<uint8_t>(std::stoul(word, nullptr, 16)));
    return bytes;
}

Bytes ascii(const std::string& text)
{
    return {text.begin(), text.end()};
}

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

std::vector<S101Reader::Event> readAll(S101Reader& reader, const Bytes& bytes, std::optional<std::string>& broken)
{
    std::vector<S101Reader::Event> events;
    broken = reader.read(bytes, events);
    return events;
}

GlowMatrix factsMatrix()
{
    GlowMatrix matrix;
    matrix.identifier = "routing";
    matrix.addressingMode = 0;
    matrix.targetCount = 2;
    matrix.sourceCount = 3;
    return matrix;
}

} // namespace

TEST(S101, framesCarryTheirCrcEscapedAndKeepAlivesAreAnswered)
{
    EXPECT_EQ(S101::crc(ascii("123456789")), 0x906E);
    EXPECT_EQ(S101::keepAliveRequest(), hex("FE 00 0E 01 01 94 E4 FF"));
    EXPECT_EQ(S101::keepAliveResponse(), hex("FE 00 0E 02 01 FD DC CE FF"));

    // The root's answer of the worked example: a CRC byte above F7 is escaped.
    const Bytes payload =
        concat({hex("60 1A 6B 18 A0 16 63 14 A0 03 02 01 01 A1 0D 31 0B A0 09 0C 07"), ascii("Kestrix")});
    EXPECT_EQ(
        S101::messageFrames(payload), concat({hex("FE 00 0E 00 01 C0 01 02 32 02"), payload, hex("7F FD DB FF")}));
}

TEST(S101, readerJoinsFramesSkipsNoiseAndAnswersKeepAlives)
{
    S101Reader reader(1 << 20);
    std::optional<std::string> broken;
    // Noise before a frame, a keep-alive, emberplus-connection's GetDirectory on the root (Glow DTD 2.31 in its
    // header), split at any byte.
    Bytes stream = concat({hex("00 12 F8 FF"), S101::keepAliveRequest(),
        hex("FE 00 0E 00 01 C0 01 02 1F 02 60 0B 6B 09 A0 07 62 05 A0 03 02 01 20 B4 EC FF")});
    std::vector<S101Reader::Event> events;
    for (uint8_t b : stream)
        ASSERT_EQ(reader.read({&b, 1}, events), std::nullopt);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].kind, S101Reader::Kind::KeepAliveRequest);
    EXPECT_EQ(events[1].kind, S101Reader::Kind::Message);
    EXPECT_EQ(events[1].payload, hex("60 0B 6B 09 A0 07 62 05 A0 03 02 01 20"));

    // A long message goes in several frames, each within a consumer's frame size, and comes back whole.
    Bytes message(3000);
    for (size_t i = 0; i < message.size(); ++i)
        message[i] = static_cast<uint8_t>(i * 7);
    const Bytes frames = S101::messageFrames(message);
    EXPECT_EQ(std::count(frames.begin(), frames.end(), 0xFE), 3);
    events = readAll(reader, frames, broken);
    EXPECT_EQ(broken, std::nullopt);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].payload, message);
}

TEST(S101, readerRefusesWhatIsNotS101)
{
    const std::pair<Bytes, std::string> cases[] = {
        {hex("FE 00 0E 00 01 C0 01 02 1F 02 60 0B 6B 09 A0 07 62 05 A0 03 02 01 20 B4 ED FF"), "CRC"},
        {hex("FE 00 0E F9 FF"), "unescaped"},
        {hex("FE 00 0E 01 01 FD FF"), "escape ends"},
        {hex("FE 01 FF"), "too short"},
        {concat({hex("FE"), Bytes(S101Reader::kMaxFrame + 1, 0x01)}), "longer than 8192"},
    };
    for (const auto& [bytes, why] : cases) {
        S101Reader reader(1 << 20);
        std::optional<std::string> broken;
        const auto events = readAll(reader, bytes, broken);
        ASSERT_TRUE(broken.has_value()) << why;
        EXPECT_NE(broken->find(why), std::string::npos) << *broken;
        EXPECT_TRUE(events.empty());
        // Nothing is read after a broken frame.
        EXPECT_EQ(readAll(reader, S101::keepAliveRequest(), broken).size(), 0u);
    }
    // A message beyond the limit is refused as its frames arrive.
    S101Reader small(2000);
    std::optional<std::string> broken;
    readAll(small, S101::messageFrames(Bytes(3000, 1)), broken);
    ASSERT_TRUE(broken.has_value());
    EXPECT_NE(broken->find("longer than 2000"), std::string::npos);
}

TEST(Ber, valuesAreWrittenAsEmberPeersReadThem)
{
    const auto written = [](const std::function<void(BerWriter&)>& write) {
        BerWriter writer;
        write(writer);
        return writer.take();
    };
    EXPECT_EQ(written([](BerWriter& w) { w.integer(128); }), hex("02 02 00 80"));
    EXPECT_EQ(written([](BerWriter& w) { w.integer(-129); }), hex("02 02 FF 7F"));
    EXPECT_EQ(written([](BerWriter& w) { w.integer(0); }), hex("02 01 00"));
    EXPECT_EQ(written([](BerWriter& w) { w.real(1.5); }), hex("09 03 80 00 03"));
    EXPECT_EQ(written([](BerWriter& w) { w.real(-0.5); }), hex("09 03 C0 FF 01"));
    EXPECT_EQ(written([](BerWriter& w) { w.real(0); }), hex("09 00"));
    EXPECT_EQ(written([](BerWriter& w) { w.real(-INFINITY); }), hex("09 01 41"));
    EXPECT_EQ(written([](BerWriter& w) { w.boolean(true); }), hex("01 01 FF"));
    EXPECT_EQ(written([](BerWriter& w) { w.relativeOid(std::vector<uint32_t>{1, 1}); }), hex("0D 02 01 01"));
    EXPECT_EQ(written([](BerWriter& w) { w.relativeOid(std::vector<uint32_t>{200}); }), hex("0D 02 81 48"));
    EXPECT_EQ(written([](BerWriter& w) { w.relativeOid(std::vector<uint32_t>{}); }), hex("0D 00"));
    // A container longer than 127 bytes takes the long length form.
    const Bytes container = written([](BerWriter& w) {
        w.begin(0x30);
        w.octets(Bytes(200, 0x55));
        w.end();
    });
    EXPECT_EQ(Bytes(container.begin(), container.begin() + 6), hex("30 81 CB 04 81 C8"));
}

TEST(Ber, readerTakesBackWhatWasWrittenAndRefusesBrokenLengths)
{
    for (double value : {1.5, -0.5, 123.456, -7.25e20, 1e-300, 4.9e-324, std::numeric_limits<double>::max(), 0.0}) {
        BerWriter writer;
        writer.real(value);
        BerReader reader(writer.bytes());
        const auto tlv = reader.next();
        ASSERT_TRUE(tlv.has_value());
        EXPECT_EQ(BerReader::real(tlv->contents), value);
    }
    EXPECT_TRUE(std::isnan(*BerReader::real(hex("42"))));
    EXPECT_EQ(BerReader::integer(hex("FF 7F")), -129);
    EXPECT_EQ(BerReader::integer(hex("01 02 03 04 05 06 07 08 09")), std::nullopt);
    EXPECT_EQ(BerReader::relativeOid(hex("81 48 05")), (std::vector<uint32_t>{200, 5}));
    EXPECT_EQ(BerReader::relativeOid(hex("81")), std::nullopt);
    EXPECT_EQ(BerReader::relativeOid(hex("90 80 80 80 80 00")), std::nullopt); // beyond 32 bits

    // The indefinite form, on a container, ends at two zero bytes.
    const Bytes indefiniteBytes = hex("A0 80 02 01 05 30 80 00 00 00 00 01 01 FF");
    BerReader::Ends ends;
    BerReader indefinite(indefiniteBytes, &ends);
    const auto outer = indefinite.next();
    ASSERT_TRUE(outer.has_value());
    EXPECT_EQ(outer->contents.size(), 7u);
    EXPECT_EQ(indefinite.next()->tag, 0x01);
    EXPECT_TRUE(indefinite.atEnd());
    // Read inside with the ends found on the way: the inner value ends where it did.
    BerReader inside(outer->contents, &ends);
    EXPECT_EQ(inside.next()->tag, 0x02);
    const auto inner = inside.next();
    ASSERT_TRUE(inner.has_value());
    EXPECT_EQ(std::make_pair(inner->tag, inner->contents.size()), std::make_pair(uint8_t{0x30}, size_t{0}));
    EXPECT_TRUE(inside.atEnd());

    for (const char* broken : {"02 05 01", "30 85 00 00 00 00 01", "02 80 00 00", "30 80 02 01 05", "04"}) {
        const Bytes bytes = hex(broken);
        BerReader reader(bytes);
        EXPECT_FALSE(reader.next().has_value()) << broken;
        EXPECT_TRUE(reader.failed()) << broken;
    }
    // Nesting is bounded.
    Bytes deep;
    for (int i = 0; i < 200; ++i)
        deep.insert(deep.end(), {0x30, 0x80});
    deep.insert(deep.end(), 400, 0x00);
    EXPECT_FALSE(BerReader(deep).next().has_value());
}

TEST(Glow, providerMessagesAreThoseEmberConsumersRead)
{
    GlowWriter root;
    root.numbered(1, GlowNode{"Kestrix", "", true});
    EXPECT_EQ(root.finish(),
        concat({hex("60 1F 6B 1D A0 1B 63 19 A0 03 02 01 01 A1 12 31 10 A0 09 0C 07"), ascii("Kestrix"),
            hex("A3 03 01 01 FF")}));

    const Bytes matrixContents = concat({hex("A1 21 31 1F A0 09 0C 07"), ascii("routing"),
        hex("A2 03 02 01 00 A3 03 02 01 00 A4 03 02 01 02 A5 03 02 01 03")});
    GlowWriter node;
    node.beginQualified(GlowWriter::Kind::Node, {1});
    node.beginChildren();
    node.numbered(1, factsMatrix());
    node.endChildren();
    node.endElement();
    EXPECT_EQ(node.finish(),
        concat({hex("60 3B 6B 39 A0 37 6A 35 A0 03 0D 01 01 A2 2E 64 2C A0 2A 6D 28 A0 03 02 01 01"), matrixContents}));

    GlowWriter matrix;
    matrix.beginQualified(GlowWriter::Kind::Matrix, {1, 1});
    matrix.contents(factsMatrix());
    matrix.beginChildren();
    matrix.endChildren();
    const GlowConnection connections[] = {{0, {2}}, {1, {}}};
    matrix.connections(connections);
    matrix.endElement();
    EXPECT_EQ(matrix.finish(),
        concat({hex("60 52 6B 50 A0 4E 71 4C A0 04 0D 02 01 01"), matrixContents,
            hex("A2 02 64 00 A5 1D 30 1B A0 0C 70 0A A0 03 02 01 00 A1 03 0D 01 02 A0 0B 70 09 A0 03 02 01 01 A1 02 0D "
                "00")}));

    const GlowStreamEntry entries[] = {{7, int64_t{-20}}};
    EXPECT_EQ(GlowWriter::streamMessage(entries), hex("60 10 66 0E A0 0C 65 0A A0 03 02 01 07 A1 03 02 01 EC"));
}

TEST(Glow, requestsAreReadAsConsumersSendThem)
{
    std::string why;
    // emberplus-connection's GetDirectory on the root.
    auto found = GlowReader::requests(hex("60 0B 6B 09 A0 07 62 05 A0 03 02 01 20"), why);
    ASSERT_TRUE(found.has_value()) << why;
    ASSERT_EQ(found->size(), 1u);
    EXPECT_EQ((*found)[0].kind, GlowRequest::Kind::GetDirectory);
    EXPECT_TRUE((*found)[0].path.empty());

    // libember's nested form: Node 1 > Node 3 > Subscribe.
    found = GlowReader::requests(
        hex("60 25 6B 23 A0 21 63 1F A0 03 02 01 01 A2 18 64 16 A0 14 63 12 A0 03 02 01 03 A2 0B 64 09 A0 07 62 05 A0 "
            "03 02 01 1E"),
        why);
    ASSERT_TRUE(found.has_value()) << why;
    ASSERT_EQ(found->size(), 1u);
    EXPECT_EQ((*found)[0].kind, GlowRequest::Kind::Subscribe);
    EXPECT_EQ((*found)[0].path, (GlowPath{1, 3}));

    // A set: the cached contents (identifier, minimum) with the new value. A connect: the matrix with one connection.
    // A getDirectory sent with cached contents and connections is only that.
    const Bytes matrixHead = concat({hex("A0 04 0D 02 01 02 A1 0D 31 0B A0 09 0C 07"), ascii("routing")});
    const Bytes connection = hex("A5 15 30 13 A0 11 70 0F A0 03 02 01 04 A1 03 0D 01 09 A2 03 02 01 01");
    found = GlowReader::requests(
        concat({hex("60 81 96 6B 81 93"), hex("A0 24 69 22 A0 06 0D 04 01 04 07 02 A1 18 31 16 A0 07 0C 05"),
            ascii("delay"), hex("A2 03 02 01 88 A3 06 09 04 C0 0C 02 71"), hex("A0 2E 71 2C"), matrixHead, connection,
            hex("A0 3B 71 39"), matrixHead, hex("A2 0B 64 09 A0 07 62 05 A0 03 02 01 20"), connection}),
        why);
    ASSERT_TRUE(found.has_value()) << why;
    ASSERT_EQ(found->size(), 3u);
    EXPECT_EQ((*found)[0].kind, GlowRequest::Kind::SetValue);
    EXPECT_EQ((*found)[0].path, (GlowPath{1, 4, 7, 2}));
    EXPECT_EQ((*found)[0].value, GlowValue(int64_t{-120}));
    EXPECT_EQ((*found)[1].kind, GlowRequest::Kind::Connect);
    ASSERT_EQ((*found)[1].connections.size(), 1u);
    EXPECT_EQ((*found)[1].connections[0], (GlowConnection{4, {9}, GlowOperation::Connect}));
    EXPECT_EQ((*found)[2].kind, GlowRequest::Kind::GetDirectory);
    EXPECT_EQ((*found)[2].path, (GlowPath{1, 2}));
}

TEST(Glow, messagesThatAreNotGlowAreRefused)
{
    std::string why;
    // The last: a connection whose sources are an INTEGER, not a RELATIVE-OID.
    for (const char* message : {"", "30 00", "60 05 6B 03 A0 01", "60 03 6B 01 A0", "60 04 6B 02 A0 80",
             "60 1E 6B 1C A0 1A 71 18 A0 04 0D 02 01 02 A5 10 30 0E A0 0C 70 0A A0 03 02 01 00 A1 03 02 01 02"}) {
        EXPECT_FALSE(GlowReader::requests(hex(message), why).has_value()) << message;
        EXPECT_FALSE(why.empty());
    }
    // Elements nested deeper than any path here: refused, not recursed into without end.
    BerWriter ber;
    ber.begin(0x60);
    ber.begin(0x6B);
    for (int i = 0; i < 100; ++i) {
        ber.begin(0xA0);
        ber.begin(0x6A);
        ber.begin(0xA0);
        ber.relativeOid(std::vector<uint32_t>{1});
        ber.end();
        ber.begin(0xA2);
        ber.begin(0x64);
    }
    for (int i = 0; i < 100; ++i)
        for (int j = 0; j < 4; ++j)
            ber.end();
    ber.end();
    ber.end();
    EXPECT_FALSE(GlowReader::requests(ber.bytes(), why).has_value());
    EXPECT_EQ(why, "elements nest deeper than 32 levels");
}
