#include "platform/firewall/nft_ruleset.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <map>
#include <optional>
#include <tuple>
#include <variant>
#include <vector>

namespace zoranth {
namespace {

using Json = nlohmann::json;

// What following a packet can end in; a set of these is the answer when a match
// cannot be decided and both ways are followed.
enum Outcome : unsigned {
    accepted = 1,
    dropped = 2,
    returned = 4,   // fell off a chain's end or hit `return`
    undecided = 8,  // a verdict nothing can know (queue), or the budget ran out
};
using Outcomes = unsigned;

enum class Truth { no, yes, unknown };

// A field of the packet: known as a number or a word, or not known at all.
struct Field {
    std::variant<std::monostate, long long, std::string> value;
    bool noFlags = false;      // a connection-tracking status without any flag set
    bool absent = false;       // the header is not in this packet: no comparison holds
    bool notLoopback = false;  // an interface name known only not to be "lo"
    std::string unknownBecause;

    static Field number(long long n) { return {n, false, false, false, {}}; }
    static Field word(std::string w) { return {std::move(w), false, false, false, {}}; }
    static Field none() { return {std::monostate{}, true, false, false, {}}; }
    static Field missing() { return {std::monostate{}, false, true, false, {}}; }
    static Field unknown(std::string because) {
        return {std::monostate{}, false, false, false, std::move(because)};
    }
    static Field incomingInterface() {
        return {std::monostate{}, false, false, true, "it depends on the incoming interface"};
    }
    bool known() const { return !std::holds_alternative<std::monostate>(value) || noFlags; }
};

using ChainKey = std::tuple<std::string, std::string, std::string>;  // family, table, name

struct Chain {
    std::string family;
    std::string table;
    std::string name;
    std::string hook;
    std::string type;
    std::string policy = "accept";
    long long priority = 0;
    std::vector<const Json*> rules;  // each rule's "expr" array
};

const Json* member(const Json& object, const char* key) {
    if (!object.is_object()) {
        return nullptr;
    }
    const auto found = object.find(key);
    return found == object.end() ? nullptr : &*found;
}

std::string text(const Json& object, const char* key) {
    const Json* value = member(object, key);
    return value && value->is_string() ? value->get<std::string>() : std::string();
}

long long protocolNumber(const std::string& name) {
    if (name == "tcp") {
        return 6;
    }
    if (name == "udp") {
        return 17;
    }
    return -1;
}

class Evaluation {
  public:
    Evaluation(const std::map<ChainKey, Chain>& chains, Traffic traffic)
        : chains_(chains), traffic_(traffic) {}

    // Every way the packet can leave a base chain: its policy stands for falling off.
    Outcomes runBase(const Chain& chain) {
        Outcomes result = run(chain, 0, 0, 0);
        if (result & returned) {
            result &= ~returned;
            result |= chain.policy == "drop" ? dropped : accepted;
        }
        return result;
    }

    const std::string& firstUnknown() const { return firstUnknown_; }

  private:
    // Jumps and undecidable matches nested deeper than this are not followed.
    static constexpr int maxDepth = 48;
    // Sets nested deeper than this are not looked into.
    static constexpr int maxNesting = 8;

    // Follows the packet from one statement on. Rules are walked in a loop; only a
    // jump and a match that cannot be decided recurse, each within its own limit.
    Outcomes run(const Chain& chain, std::size_t rule, std::size_t statement, int depth) {
        for (;;) {
            if (++steps_ > NftRuleset::stepBudget || depth > maxDepth) {
                noteUnknown("the ruleset branches too much to follow");
                return undecided;
            }
            if (rule >= chain.rules.size()) {
                return returned;
            }
            const Json& expr = *chain.rules[rule];
            if (!expr.is_array() || statement >= expr.size()) {
                ++rule;
                statement = 0;
                continue;
            }
            const Json& step = expr[statement];
            if (!step.is_object() || step.empty()) {
                ++statement;
                continue;
            }
            const std::string kind = step.begin().key();
            const Json& body = step.begin().value();
            const auto bothWays = [&] {
                return run(chain, rule, statement + 1, depth + 1) |
                       run(chain, rule + 1, 0, depth + 1);
            };

            if (kind == "match") {
                const Truth truth = matches(body);
                if (truth == Truth::yes) {
                    ++statement;
                } else if (truth == Truth::no) {
                    ++rule;
                    statement = 0;
                } else {
                    return bothWays();
                }
                continue;
            }
            if (kind == "accept" || kind == "drop" || kind == "reject" || kind == "return" ||
                kind == "jump" || kind == "goto" || kind == "queue" || kind == "continue") {
                return verdict(kind, body, chain, rule, depth);
            }
            if (kind == "vmap") {
                return lookUpVerdict(body, chain, rule, statement, depth);
            }
            if (isNeutral(kind)) {
                ++statement;
                continue;
            }
            // A statement this reader does not know may be a match: follow both ways.
            noteUnknown(kind == "xt" ? "it uses an iptables match (xt) that nft cannot show"
                                     : "it uses a \"" + kind + "\" statement");
            return bothWays();
        }
    }

    static bool isNeutral(const std::string& kind) {
        static constexpr std::string_view neutral[] = {
            "counter", "log",     "limit",      "quota",      "mangle",         "set",
            "map",     "notrack", "ct helper",  "ct timeout", "ct expectation", "meter",
            "secmark", "dup",     "synproxy",   "flow",       "last",           "tproxy",
            "snat",    "dnat",    "masquerade", "redirect"};
        return std::find(std::begin(neutral), std::end(neutral), kind) != std::end(neutral);
    }

    Outcomes verdict(const std::string& kind, const Json& body, const Chain& chain,
                     std::size_t rule, int depth) {
        if (kind == "accept") {
            return accepted;
        }
        if (kind == "drop" || kind == "reject") {
            return dropped;
        }
        if (kind == "return") {
            return returned;
        }
        if (kind == "continue") {
            return run(chain, rule + 1, 0, depth + 1);
        }
        if (kind == "queue") {
            noteUnknown("it hands packets to a user-space queue");
            return undecided;
        }
        const Chain* target = find(chain, text(body, "target"));
        if (target == nullptr) {
            noteUnknown("a rule jumps to a chain that is not in the ruleset");
            return undecided;
        }
        Outcomes inner = run(*target, 0, 0, depth + 1);
        if (kind == "goto" || !(inner & returned)) {
            return inner;  // a goto's return goes back to this chain's caller
        }
        return (inner & ~returned) | run(chain, rule + 1, 0, depth + 1);
    }

    Outcomes lookUpVerdict(const Json& body, const Chain& chain, std::size_t rule,
                           std::size_t statement, int depth) {
        const Json* key = member(body, "key");
        const Json* data = member(body, "data");
        const Json* entries = data ? member(*data, "set") : nullptr;
        const auto next = [&] { return run(chain, rule, statement + 1, depth + 1); };
        if (key == nullptr || entries == nullptr || !entries->is_array()) {
            noteUnknown("it looks up verdicts in a named map");
            return next() | run(chain, rule + 1, 0, depth + 1);
        }
        const Field field = fieldOf(*key);
        Outcomes result = 0;
        for (const Json& entry : *entries) {
            if (!entry.is_array() || entry.size() != 2 || !entry[1].is_object() ||
                entry[1].empty()) {
                continue;
            }
            const Truth hit = contains(field, entry[0]);
            if (hit == Truth::no) {
                continue;
            }
            const Outcomes taken =
                verdict(entry[1].begin().key(), entry[1].begin().value(), chain, rule, depth);
            if (hit == Truth::yes) {
                return result | taken;
            }
            result |= taken;
        }
        return result | next();
    }

    const Chain* find(const Chain& from, const std::string& name) const {
        const auto found = chains_.find({from.family, from.table, name});
        return found == chains_.end() ? nullptr : &found->second;
    }

    void noteUnknown(std::string because) {
        if (firstUnknown_.empty()) {
            firstUnknown_ = std::move(because);
        }
    }

    // The packet: new IPv4, from another machine, to this machine's port, arriving
    // on an interface other than loopback.
    Field fieldOf(const Json& left) {
        if (const Json* payload = member(left, "payload")) {
            const std::string protocol = text(*payload, "protocol");
            const std::string name = text(*payload, "field");
            if (protocol == "tcp" || protocol == "udp" || protocol == "th") {
                if (protocol != "th" && protocol != traffic_.protocolName()) {
                    return Field::missing();
                }
                if (name == "dport") {
                    return Field::number(traffic_.port);
                }
                return Field::unknown("it depends on the " + protocol + " " + name);
            }
            if (protocol == "ip") {
                if (name == "protocol") {
                    return Field::word(traffic_.protocolName());
                }
                return Field::unknown("it depends on the sender's or receiver's address (ip " +
                                      name + ")");
            }
            static constexpr std::string_view otherHeaders[] = {"ip6",  "icmp",    "icmpv6", "sctp",
                                                                "dccp", "udplite", "ah",     "esp",
                                                                "comp", "igmp",    "arp",    "gre"};
            if (std::find(std::begin(otherHeaders), std::end(otherHeaders), protocol) !=
                std::end(otherHeaders)) {
                return Field::missing();
            }
            return Field::unknown("it depends on a raw packet field");
        }
        if (const Json* meta = member(left, "meta")) {
            const std::string key = text(*meta, "key");
            if (key == "l4proto") {
                return Field::word(traffic_.protocolName());
            }
            if (key == "nfproto") {
                return Field::word("ipv4");
            }
            if (key == "protocol") {
                return Field::word("ip");
            }
            if (key == "iifname" || key == "iif") {
                return Field::incomingInterface();
            }
            return Field::unknown("it depends on meta " + key);
        }
        if (const Json* ct = member(left, "ct")) {
            const std::string key = text(*ct, "key");
            if (key == "state") {
                return Field::word("new");
            }
            if (key == "status") {
                return Field::none();
            }
            if (key == "direction") {
                return Field::word("original");
            }
            return Field::unknown("it depends on ct " + key);
        }
        if (const Json* concat = member(left, "concat")) {
            (void)concat;
            return Field::unknown("it matches several fields together");
        }
        return Field::unknown("it uses a match this check cannot follow");
    }

    // Whether the field's value is `element` (a number, a word, a range, a set).
    Truth contains(const Field& field, const Json& element, int nesting = 0) {
        if (field.noFlags || field.absent) {
            return Truth::no;
        }
        if (field.notLoopback && element.is_string() && element.get<std::string>() == "lo") {
            return Truth::no;  // guests never arrive on loopback
        }
        if (!field.known()) {
            noteUnknown(field.unknownBecause);
            return Truth::unknown;
        }
        if (nesting > maxNesting) {
            noteUnknown("it uses sets nested too deeply to read");
            return Truth::unknown;
        }
        if (element.is_array()) {
            return anyOf(field, element, nesting + 1);
        }
        if (const Json* set = member(element, "set")) {
            return set->is_array() ? anyOf(field, *set, nesting + 1)
                                   : contains(field, *set, nesting + 1);
        }
        return single(field, element);
    }

    Truth anyOf(const Field& field, const Json& elements, int nesting) {
        Truth result = Truth::no;
        for (const Json& element : elements) {
            const Truth one = contains(field, element, nesting);
            if (one == Truth::yes) {
                return Truth::yes;
            }
            if (one == Truth::unknown) {
                result = Truth::unknown;
            }
        }
        return result;
    }

    Truth single(const Field& field, const Json& element) {
        if (const auto* number = std::get_if<long long>(&field.value)) {
            if (element.is_number_integer()) {
                return element.get<long long>() == *number ? Truth::yes : Truth::no;
            }
            if (const Json* range = member(element, "range");
                range && range->is_array() && range->size() == 2 && (*range)[0].is_number() &&
                (*range)[1].is_number()) {
                return (*range)[0].get<long long>() <= *number &&
                               *number <= (*range)[1].get<long long>()
                           ? Truth::yes
                           : Truth::no;
            }
        } else if (const auto* word = std::get_if<std::string>(&field.value)) {
            if (element.is_string()) {
                const std::string value = element.get<std::string>();
                if (value.starts_with("@")) {
                    noteUnknown("it uses the named set " + value);
                    return Truth::unknown;
                }
                return value == *word ? Truth::yes : Truth::no;
            }
            if (element.is_number_integer() && protocolNumber(*word) >= 0) {
                return element.get<long long>() == protocolNumber(*word) ? Truth::yes : Truth::no;
            }
        }
        if (element.is_string() && element.get<std::string>().starts_with("@")) {
            noteUnknown("it uses the named set " + element.get<std::string>());
            return Truth::unknown;
        }
        noteUnknown("it compares with a value this check cannot read");
        return Truth::unknown;
    }

    Truth matches(const Json& body) {
        const Json* left = member(body, "left");
        const Json* right = member(body, "right");
        if (left == nullptr || right == nullptr) {
            noteUnknown("a match is malformed");
            return Truth::unknown;
        }
        const std::string op = text(body, "op");
        const Field field = fieldOf(*left);
        if (field.absent) {
            return Truth::no;  // nft adds the protocol as a condition of the match
        }
        const Truth hit = contains(field, *right);
        if (op == "==" || op == "in") {
            return hit;
        }
        if (op == "!=") {
            return hit == Truth::unknown ? Truth::unknown
                                         : (hit == Truth::yes ? Truth::no : Truth::yes);
        }
        noteUnknown("it compares with \"" + op + "\"");
        return Truth::unknown;
    }

    const std::map<ChainKey, Chain>& chains_;
    const Traffic traffic_;
    int steps_ = 0;
    std::string firstUnknown_;
};

std::string chainName(const Chain& chain) {
    return "\u201c" + chain.family + " " + chain.table + " " + chain.name + "\u201d";
}

}  // namespace

std::expected<NftRuleset, std::string> NftRuleset::judge(std::string_view json, Traffic traffic) {
    const Json document = Json::parse(json.begin(), json.end(), nullptr, false);
    const Json* items = member(document, "nftables");
    if (document.is_discarded() || items == nullptr || !items->is_array()) {
        return std::unexpected(std::string("not an nftables ruleset in JSON"));
    }

    std::map<ChainKey, Chain> chains;
    for (const Json& item : *items) {
        if (const Json* chain = member(item, "chain")) {
            Chain made;
            made.family = text(*chain, "family");
            made.table = text(*chain, "table");
            made.name = text(*chain, "name");
            made.hook = text(*chain, "hook");
            made.type = text(*chain, "type");
            if (const std::string policy = text(*chain, "policy"); !policy.empty()) {
                made.policy = policy;
            }
            if (const Json* prio = member(*chain, "prio"); prio && prio->is_number_integer()) {
                made.priority = prio->get<long long>();
            }
            ChainKey key{made.family, made.table, made.name};
            // A chain listed twice keeps the rules gathered under it so far.
            auto [where, fresh] = chains.try_emplace(key, made);
            if (!fresh) {
                made.rules = std::move(where->second.rules);
                where->second = std::move(made);
            }
        } else if (const Json* rule = member(item, "rule")) {
            const Json* expr = member(*rule, "expr");
            if (expr == nullptr) {
                continue;
            }
            ChainKey key{text(*rule, "family"), text(*rule, "table"), text(*rule, "chain")};
            auto& chain = chains[key];
            chain.family = std::get<0>(key);
            chain.table = std::get<1>(key);
            chain.name = std::get<2>(key);
            chain.rules.push_back(expr);
        }
    }

    // IPv4 packets pass the input chains of ip and inet tables, lowest priority first.
    std::vector<const Chain*> bases;
    for (const auto& [key, chain] : chains) {
        if (chain.hook == "input" && (chain.type.empty() || chain.type == "filter") &&
            (chain.family == "ip" || chain.family == "inet")) {
            bases.push_back(&chain);
        }
    }
    std::stable_sort(bases.begin(), bases.end(),
                     [](const Chain* a, const Chain* b) { return a->priority < b->priority; });

    NftRuleset judged;
    for (const Chain* base : bases) {
        judged.filtersInput = judged.filtersInput || base->policy == "drop" || !base->rules.empty();
    }
    if (!judged.filtersInput) {
        judged.admission = Admission::allowed("no nftables chain filters incoming traffic");
        return judged;
    }

    Evaluation evaluation(chains, traffic);
    bool allAccept = true;
    for (const Chain* base : bases) {
        const Outcomes outcomes = evaluation.runBase(*base);
        if (outcomes == dropped) {
            judged.admission =
                Admission::blocked("the nftables chain " + chainName(*base) +
                                   (base->policy == "drop" ? " (policy drop)" : "") + " drops it");
            return judged;
        }
        allAccept = allAccept && outcomes == accepted;
    }
    if (allAccept) {
        judged.admission = Admission::allowed("the nftables input chains accept it");
    } else {
        const std::string& because = evaluation.firstUnknown();
        judged.admission = Admission::unknown(
            "whether nftables lets it in depends on a rule this check cannot decide" +
            (because.empty() ? std::string() : " (" + because + ")"));
    }
    return judged;
}

}  // namespace zoranth
