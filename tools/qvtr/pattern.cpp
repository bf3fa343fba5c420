#include "pattern.h"

#include <algorithm>
#include <bitset>
#include <cstring>
#include <map>
#include <vector>

namespace tool {

namespace {

using ByteSet = std::bitset<256>;

// The expression as a tree, before it becomes an automaton.
struct Node {
    enum Kind { kSet, kEmpty, kConcat, kAlternative, kRepeat, kLineStart, kLineEnd } kind = kEmpty;
    ByteSet set;
    std::vector<Node> parts;
    int min = 0;
    int max = 0;  // -1: no bound
};

constexpr int kMaxRepeat = 255;
constexpr size_t kMaxStates = 20000;

class Parser {
public:
    Parser(const std::string& text, bool ignoreCase) : m_text(text), m_ignoreCase(ignoreCase) {}

    bool Parse(Node& tree, std::string& error) {
        tree = Alternatives();
        if (m_error.empty() && m_at < m_text.size()) {
            m_error = "unmatched )";
        }
        error = m_error;
        return m_error.empty();
    }

private:
    bool AtEnd() const { return m_at >= m_text.size(); }
    char Peek() const { return m_text[m_at]; }

    Node Alternatives() {
        Node first = Sequence();
        if (AtEnd() || Peek() != '|') {
            return first;
        }
        Node either;
        either.kind = Node::kAlternative;
        either.parts.push_back(std::move(first));
        while (!AtEnd() && Peek() == '|' && m_error.empty()) {
            ++m_at;
            either.parts.push_back(Sequence());
        }
        return either;
    }

    Node Sequence() {
        Node sequence;
        sequence.kind = Node::kConcat;
        while (!AtEnd() && Peek() != '|' && Peek() != ')' && m_error.empty()) {
            sequence.parts.push_back(Repeated());
        }
        return sequence;
    }

    // {m}, {m,} or {m,n}; false (and the brace stays a literal) when it is none of them.
    bool Bounds(int& min, int& max) {
        size_t at = m_at + 1;
        const auto number = [&](int& value) {
            const size_t start = at;
            value = 0;
            while (at < m_text.size() && m_text[at] >= '0' && m_text[at] <= '9' && value <= kMaxRepeat) {
                value = value * 10 + (m_text[at++] - '0');
            }
            return at > start;
        };
        if (!number(min)) {
            return false;
        }
        max = min;
        if (at < m_text.size() && m_text[at] == ',') {
            ++at;
            max = number(max) ? max : -1;
        }
        if (at >= m_text.size() || m_text[at] != '}') {
            return false;
        }
        if (min > kMaxRepeat || max > kMaxRepeat || (max >= 0 && max < min)) {
            m_error = "invalid repetition count";
            return false;
        }
        m_at = at + 1;
        return true;
    }

    Node Repeated() {
        Node atom = Atom();
        while (!AtEnd() && m_error.empty()) {
            int min = 0;
            int max = -1;
            const char c = Peek();
            if (c == '*') {
                ++m_at;
            } else if (c == '+') {
                min = 1;
                ++m_at;
            } else if (c == '?') {
                max = 1;
                ++m_at;
            } else if (c != '{' || !Bounds(min, max)) {
                break;
            }
            Node repeat;
            repeat.kind = Node::kRepeat;
            repeat.min = min;
            repeat.max = max;
            repeat.parts.push_back(std::move(atom));
            atom = std::move(repeat);
        }
        return atom;
    }

    Node Literal(unsigned char c) {
        Node node;
        node.kind = Node::kSet;
        node.set.set(c);
        Fold(node.set);
        return node;
    }

    void Fold(ByteSet& set) const {
        if (!m_ignoreCase) {
            return;
        }
        for (int c = 'a'; c <= 'z'; ++c) {
            if (set.test(static_cast<size_t>(c)) || set.test(static_cast<size_t>(c - 'a' + 'A'))) {
                set.set(static_cast<size_t>(c));
                set.set(static_cast<size_t>(c - 'a' + 'A'));
            }
        }
    }

    static ByteSet Class(const std::string& name, bool& known) {
        ByteSet set;
        known = true;
        for (int c = 0; c < 256; ++c) {
            const bool alpha = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
            const bool digit = c >= '0' && c <= '9';
            const bool space = c == ' ' || (c >= '\t' && c <= '\r');
            bool in = false;
            if (name == "alpha") {
                in = alpha;
            } else if (name == "digit") {
                in = digit;
            } else if (name == "alnum") {
                in = alpha || digit;
            } else if (name == "upper") {
                in = c >= 'A' && c <= 'Z';
            } else if (name == "lower") {
                in = c >= 'a' && c <= 'z';
            } else if (name == "space") {
                in = space;
            } else if (name == "blank") {
                in = c == ' ' || c == '\t';
            } else if (name == "punct") {
                in = c > 32 && c < 127 && !alpha && !digit;
            } else if (name == "print") {
                in = c >= 32 && c < 127;
            } else if (name == "graph") {
                in = c > 32 && c < 127;
            } else if (name == "cntrl") {
                in = c < 32 || c == 127;
            } else if (name == "xdigit") {
                in = digit || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
            } else {
                known = false;
            }
            set.set(static_cast<size_t>(c), in);
        }
        return set;
    }

    Node Bracket() {
        Node node;
        node.kind = Node::kSet;
        const bool negated = !AtEnd() && Peek() == '^';
        m_at += negated ? 1 : 0;
        bool first = true;
        for (;;) {
            if (AtEnd()) {
                m_error = "unmatched [";
                return node;
            }
            const unsigned char c = static_cast<unsigned char>(m_text[m_at]);
            if (c == ']' && !first) {
                ++m_at;
                break;
            }
            first = false;
            if (c == '[' && m_at + 1 < m_text.size() && m_text[m_at + 1] == ':') {
                const size_t end = m_text.find(":]", m_at + 2);
                bool known = false;
                const ByteSet set =
                    end == std::string::npos ? ByteSet() : Class(m_text.substr(m_at + 2, end - m_at - 2), known);
                if (!known) {
                    m_error = "invalid character class";
                    return node;
                }
                node.set |= set;
                m_at = end + 2;
                continue;
            }
            ++m_at;
            if (m_at + 1 < m_text.size() && m_text[m_at] == '-' && m_text[m_at + 1] != ']') {
                const unsigned char last = static_cast<unsigned char>(m_text[m_at + 1]);
                if (last < c) {
                    m_error = "invalid range end";
                    return node;
                }
                for (unsigned v = c; v <= last; ++v) {
                    node.set.set(v);
                }
                m_at += 2;
            } else {
                node.set.set(c);
            }
        }
        Fold(node.set);
        if (negated) {
            node.set.flip();
        }
        return node;
    }

    Node Escaped() {
        if (AtEnd()) {
            m_error = "trailing backslash";
            return Node();
        }
        const char c = m_text[m_at++];
        Node node;
        node.kind = Node::kSet;
        bool known = true;
        switch (c) {
            case 'w':
            case 'W':
                node.set = Class("alnum", known);
                node.set.set('_');
                break;
            case 's':
            case 'S':
                node.set = Class("space", known);
                break;
            case 'b':
            case 'B':
            case '<':
            case '>':
                m_error = std::string("\\") + c + " (a word boundary) is not supported";
                return node;
            default:
                return Literal(static_cast<unsigned char>(c));
        }
        if (c == 'W' || c == 'S') {
            node.set.flip();
        }
        return node;
    }

    Node Atom() {
        const char c = m_text[m_at++];
        switch (c) {
            case '(': {
                Node inner = Alternatives();
                if (AtEnd() || Peek() != ')') {
                    m_error = "unmatched (";
                } else {
                    ++m_at;
                }
                return inner;
            }
            case '[':
                return Bracket();
            case '.': {
                Node any;
                any.kind = Node::kSet;
                any.set.set();
                any.set.reset('\n');
                return any;
            }
            case '^':
            case '$': {
                Node anchor;
                anchor.kind = c == '^' ? Node::kLineStart : Node::kLineEnd;
                return anchor;
            }
            case '\\':
                return Escaped();
            default:
                // A repetition with nothing before it stands for itself, as grep -E reads it.
                return Literal(static_cast<unsigned char>(c));
        }
    }

    const std::string& m_text;
    const bool m_ignoreCase;
    size_t m_at = 0;
    std::string m_error;
};

}  // namespace

// A Thompson automaton, and the deterministic states built from it as the text
// needs them (each a set of automaton states): one table step per byte.
struct Pattern::Machine {
    enum Kind { kByte, kSplit, kJump, kLineStart, kLineEnd, kMatch };
    struct State {
        Kind kind;
        int set = -1;  // kByte: index into sets
        int out = -1;
        int other = -1;  // kSplit
    };
    struct Dfa {
        std::vector<int> states;  // sorted: bytes, line ends and the match
        bool match = false;
        int endMatch = -1;  // -1: not yet known
        int next[256];
    };

    std::vector<State> states;
    std::vector<ByteSet> sets;
    int start = -1;
    std::vector<Dfa> dfa;
    std::map<std::vector<int>, int> known;
    unsigned cleared = 0;
    bool tooLarge = false;

    // A fragment under construction: its entry and the exits still to be joined.
    struct Fragment {
        int entry;
        std::vector<std::pair<int, bool>> exits;  // state, whether its `other`
    };

    int Add(Kind kind) {
        states.push_back({kind});
        tooLarge = tooLarge || states.size() > kMaxStates;
        return static_cast<int>(states.size() - 1);
    }

    void Join(const Fragment& from, int to) {
        for (const auto& [state, other] : from.exits) {
            (other ? states[static_cast<size_t>(state)].other : states[static_cast<size_t>(state)].out) = to;
        }
    }

    Fragment Empty() {
        const int jump = Add(kJump);
        return {jump, {{jump, false}}};
    }

    Fragment Build(const Node& node) {
        if (tooLarge) {
            return Empty();
        }
        switch (node.kind) {
            case Node::kSet: {
                const int state = Add(kByte);
                states[static_cast<size_t>(state)].set = static_cast<int>(sets.size());
                sets.push_back(node.set);
                return {state, {{state, false}}};
            }
            case Node::kLineStart:
            case Node::kLineEnd: {
                const int state = Add(node.kind == Node::kLineStart ? kLineStart : kLineEnd);
                return {state, {{state, false}}};
            }
            case Node::kConcat: {
                if (node.parts.empty()) {
                    return Empty();
                }
                Fragment whole = Build(node.parts[0]);
                for (size_t i = 1; i < node.parts.size(); ++i) {
                    Fragment next = Build(node.parts[i]);
                    Join(whole, next.entry);
                    whole.exits = std::move(next.exits);
                }
                return whole;
            }
            case Node::kAlternative: {
                Fragment whole = Build(node.parts[0]);
                for (size_t i = 1; i < node.parts.size(); ++i) {
                    Fragment next = Build(node.parts[i]);
                    const int split = Add(kSplit);
                    states[static_cast<size_t>(split)].out = whole.entry;
                    states[static_cast<size_t>(split)].other = next.entry;
                    whole.entry = split;
                    whole.exits.insert(whole.exits.end(), next.exits.begin(), next.exits.end());
                }
                return whole;
            }
            case Node::kRepeat:
                return Repeat(node.parts[0], node.min, node.max);
            default:
                return Empty();
        }
    }

    // min copies, then either a loop or (max - min) optional copies.
    Fragment Repeat(const Node& atom, int min, int max) {
        Fragment whole = Empty();
        for (int i = 0; i < min; ++i) {
            Fragment copy = Build(atom);
            Join(whole, copy.entry);
            whole.exits = std::move(copy.exits);
        }
        if (max < 0) {
            Fragment body = Build(atom);
            const int split = Add(kSplit);
            states[static_cast<size_t>(split)].out = body.entry;
            Join(body, split);
            Join(whole, split);
            whole.exits = {{split, true}};
            return whole;
        }
        for (int i = min; i < max && !tooLarge; ++i) {
            Fragment copy = Build(atom);
            const int split = Add(kSplit);
            states[static_cast<size_t>(split)].out = copy.entry;
            Join(whole, split);
            whole.exits = std::move(copy.exits);
            whole.exits.emplace_back(split, true);
        }
        return whole;
    }

    // The states reachable from `from` without reading a byte.
    void Close(std::vector<int> from, bool atStart, bool atEnd, std::vector<int>& out) const {
        std::vector<char> seen(states.size(), 0);
        out.clear();
        while (!from.empty()) {
            const int id = from.back();
            from.pop_back();
            if (id < 0 || seen[static_cast<size_t>(id)]) {
                continue;
            }
            seen[static_cast<size_t>(id)] = 1;
            const State& state = states[static_cast<size_t>(id)];
            switch (state.kind) {
                case kSplit:
                    from.push_back(state.other);
                    from.push_back(state.out);
                    break;
                case kJump:
                    from.push_back(state.out);
                    break;
                case kLineStart:
                    if (atStart) {
                        from.push_back(state.out);
                    }
                    break;
                case kLineEnd:
                    if (atEnd) {
                        from.push_back(state.out);
                    } else {
                        out.push_back(id);  // may still pass at the end
                    }
                    break;
                default:
                    out.push_back(id);
                    break;
            }
        }
        std::sort(out.begin(), out.end());
    }

    int Find(std::vector<int>& set) {
        const auto found = known.find(set);
        if (found != known.end()) {
            return found->second;
        }
        if (dfa.size() >= 4096) {  // a bound on memory; built again as needed
            dfa.clear();
            known.clear();
            ++cleared;
        }
        Dfa state;
        state.states = set;
        state.match =
            std::any_of(set.begin(), set.end(), [&](int id) { return states[static_cast<size_t>(id)].kind == kMatch; });
        std::fill(std::begin(state.next), std::end(state.next), -1);
        dfa.push_back(std::move(state));
        known.emplace(set, static_cast<int>(dfa.size() - 1));
        return static_cast<int>(dfa.size() - 1);
    }

    int Initial() {
        std::vector<int> set;
        Close({start}, true, false, set);
        return Find(set);
    }

    // The state after `byte`; the search may begin again at every position.
    int Step(int from, unsigned char byte) {
        std::vector<int> moved{start};
        for (int id : dfa[static_cast<size_t>(from)].states) {
            const State& state = states[static_cast<size_t>(id)];
            if (state.kind == kByte && sets[static_cast<size_t>(state.set)].test(byte)) {
                moved.push_back(state.out);
            }
        }
        std::vector<int> set;
        Close(moved, false, false, set);
        return Find(set);
    }

    bool MatchesAtEnd(int at) {
        Dfa& state = dfa[static_cast<size_t>(at)];
        if (state.endMatch < 0) {
            std::vector<int> set;
            Close(state.states, false, true, set);
            state.endMatch = std::any_of(set.begin(), set.end(),
                                         [&](int id) { return states[static_cast<size_t>(id)].kind == kMatch; });
        }
        return state.endMatch != 0;
    }

    bool Matches(std::string_view text) {
        int at = Initial();
        for (size_t i = 0; i < text.size(); ++i) {
            if (dfa[static_cast<size_t>(at)].match) {
                return true;
            }
            const auto byte = static_cast<unsigned char>(text[i]);
            int next = dfa[static_cast<size_t>(at)].next[byte];
            if (next < 0) {
                const unsigned before = cleared;
                next = Step(at, byte);
                if (cleared == before) {  // else `at` is gone with the rest of the cache
                    dfa[static_cast<size_t>(at)].next[byte] = next;
                }
            }
            at = next;
        }
        return dfa[static_cast<size_t>(at)].match || MatchesAtEnd(at);
    }
};

Pattern::Pattern() = default;
Pattern::~Pattern() = default;

bool Pattern::Compile(const std::string& expression, std::string& error, bool ignoreCase) {
    m_isLiteral = !ignoreCase && expression.find_first_of(".[]()*+?{}|^$\\") == std::string::npos;
    m_literal = expression;
    m_machine.reset();
    if (m_isLiteral) {
        return true;
    }
    Node tree;
    Parser parser(expression, ignoreCase);
    if (!parser.Parse(tree, error)) {
        return false;
    }
    auto machine = std::make_unique<Machine>();
    Machine::Fragment whole = machine->Build(tree);
    const int match = machine->Add(Machine::kMatch);
    machine->Join(whole, match);
    machine->start = whole.entry;
    if (machine->tooLarge) {
        error = "the pattern is too large";
        return false;
    }
    m_machine = std::move(machine);
    return true;
}

bool Pattern::Matches(std::string_view text) const {
    if (m_isLiteral) {
        return text.find(m_literal) != std::string_view::npos;
    }
    return m_machine->Matches(text);
}

}  // namespace tool
