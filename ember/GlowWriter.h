#pragma once

// Threads: any; a writer is used by one thread at a time.

#include "ember/BerWriter.h"
#include "ember/GlowTypes.h"

#include <span>

// Builds one Glow message for consumers: a Root that holds elements, each
// either numbered (at the root, or as a child) or qualified by its path.
//
//   GlowWriter message;
//   message.beginQualified(GlowWriter::Kind::Node, {1});
//   message.beginChildren();
//   message.numbered(1, matrixContents);
//   message.endChildren();
//   message.endElement();
//   bytes = message.finish();
class GlowWriter {
public:
    enum class Kind { Node, Parameter, Matrix };

    GlowWriter();

    // An element with its number and contents, and nothing else.
    void numbered(uint32_t number, const GlowContents& contents);

    // An element with its path and contents, and nothing else.
    void qualified(const GlowPath& path, const GlowContents& contents);

    // An element by its path; then any of its parts, in this order, then endElement().
    void beginQualified(Kind kind, const GlowPath& path);
    void contents(const GlowContents& contents);
    // Children, each written with numbered(); none between them says "no children".
    void beginChildren();
    void endChildren();
    // A matrix's signals and connections.
    void signals(std::span<const int32_t> targets, std::span<const int32_t> sources);
    void connections(std::span<const GlowConnection> connections);
    void endElement();

    // The message; the writer is spent.
    std::vector<uint8_t> finish();

    // One message of stream values (Root, StreamCollection).
    static std::vector<uint8_t> streamMessage(std::span<const GlowStreamEntry> entries);

private:
    BerWriter ber;
};
