// The dictionary's hash table, text-table loading and lookups.
#include "localization/ZStringDictionary.h"

#include <cstring>
#include <iterator>
#include <memory>
#include <vector>

#include "localization/DictionaryReader.h"
#include "localization/Markup.h"

namespace quirra_private {
namespace {

constexpr char kBinaryMagic[] = "ZString Binary Format";
constexpr size_t kBinaryMagicLength = sizeof(kBinaryMagic) - 1;

bool isUnescapedQuote(const char16_t* line, size_t i) { return line[i] == u'"' && (i == 0 || line[i - 1] != u'\\'); }

}  // namespace

ZStringDictionary::ZStringDictionary() : store(new FastArray()) { store->addRef(); }

ZStringDictionary::~ZStringDictionary() {
    delete[] headerText;
    store->release();
    clear();
}

HashItem* ZStringDictionary::find(const HashItem& key) const {
    lastBucket = key.hash(kHashModulus);
    lastPredecessor = nullptr;
    for (HashItem* item = buckets[lastBucket]; item != nullptr; item = item->next) {
        if (item->equals(key)) return item;
        lastPredecessor = item;
    }
    lastPredecessor = nullptr;
    return nullptr;
}

void ZStringDictionary::insert(HashItem* item) {
    const uint32_t bucket = item->hash(kHashModulus);
    item->next = buckets[bucket];
    buckets[bucket] = item;
}

HashItem* ZStringDictionary::remove(const HashItem& key) {
    HashItem* found = find(key);
    if (found == nullptr) return nullptr;
    if (lastPredecessor != nullptr) {
        lastPredecessor->next = found->next;
    } else {
        buckets[lastBucket] = found->next;
    }
    found->next = nullptr;
    return found;
}

void ZStringDictionary::clear() {
    for (HashItem*& head : buckets) {
        while (head != nullptr) {
            HashItem* next = head->next;
            delete head;
            head = next;
        }
    }
}

void ZStringDictionary::appendToGroup(uint32_t bucket, HashItem*& tail, HashItem* item) {
    if (tail == nullptr) {
        item->next = buckets[bucket];
        buckets[bucket] = item;
    } else {
        item->next = tail->next;
        tail->next = item;
    }
    tail = item;
}

void ZStringDictionary::load(std::istream& in) {
    // A stream read to its end may be read again; one that failed otherwise loads nothing.
    if (in.bad() || (in.fail() && !in.eof())) return;
    in.clear();
    in.seekg(0);
    char magic[kBinaryMagicLength] = {};
    in.read(magic, kBinaryMagicLength);
    const auto got = static_cast<size_t>(in.gcount());
    // A short table is text; only a hard stream error loads nothing.
    if (in.bad()) return;
    in.clear();
    in.seekg(0);
    if (!in.good()) return;
    if (got == kBinaryMagicLength && std::memcmp(magic, kBinaryMagic, kBinaryMagicLength) == 0) {
        std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        if (in.bad()) return;
        loadBinary(bytes.data(), bytes.size());
        return;
    }
    const int first = got > 0 ? static_cast<uint8_t>(magic[0]) : -1;
    const int second = got > 1 ? static_cast<uint8_t>(magic[1]) : -1;
    loadText(in, first, second);
}

void ZStringDictionary::loadText(std::istream& in, int first, int second) {
    std::unique_ptr<DictionaryReader> reader = DictionaryReader::forFirstBytes(in, first, second);
    while (GrowableUnitBuffer* line = reader->readLine()) {
        const size_t count = line->length();
        if (count == 0 || (count == 1 && line->data()[0] == 0xFEFF)) continue;
        addTextLine(line->data(), count);
    }
}

void ZStringDictionary::addTextLine(const char16_t* line, size_t count) {
    size_t begin = 0;
    size_t end = count;
    size_t open = 0;
    while (open < count && !isUnescapedQuote(line, open)) ++open;
    if (open < count) {
        begin = open + 1;
        end = begin;
        while (end < count && !isUnescapedQuote(line, end)) ++end;
    }
    auto parts = splitKeyString(line + begin, end - begin);
    if (!parts) return;
    std::vector<uint8_t> key(parts->keyLength);
    for (size_t i = 0; i < parts->keyLength; ++i) key[i] = static_cast<uint8_t>(line[begin + parts->keyBegin + i]);
    const ZString value = expandMarkup(line + begin + parts->valueBegin, parts->valueLength);
    const auto keyLength = static_cast<uint32_t>(key.size());
    if (major >= 2) {
        store->insert(key.data(), keyLength, value);
        return;
    }
    const ByteRunKey probe(key.data(), keyLength, false);
    delete remove(probe);
    insert(new DictionaryEntry(key.data(), keyLength, value));
}

ZString ZStringDictionary::lookup(const char* keyString, const uint32_t* selector) const {
    if (keyString == nullptr || *keyString == 0) return ZString();
    const size_t count = std::strlen(keyString);
    auto parts = splitKeyString(keyString, count);
    if (!parts) return ZString();
    const auto* keyBytes = reinterpret_cast<const uint8_t*>(keyString + parts->keyBegin);
    const auto keyLength = static_cast<uint32_t>(parts->keyLength);
    if (major < 2) {
        const ByteRunKey probe(keyBytes, keyLength, false);
        if (const auto* entry = dynamic_cast<const DictionaryEntry*>(find(probe))) return entry->value;
    } else {
        const uint32_t index = store->find(keyBytes, keyLength);
        if (index != FastArray::kNotFound) return store->valueAt(index);
    }
    if (parts->valueLength == 0) return ZString();
    const char* text = keyString + parts->valueBegin;
    std::u16string units;
    if (selector == nullptr || *selector == 0) {
        units.assign(text, text + parts->valueLength);
        for (char16_t& unit : units) unit &= 0xFF;
    } else {
        const ZString decoded(text, parts->valueLength, selector);
        units.assign(decoded.view());
    }
    return expandMarkup(units.data(), units.size());
}

}  // namespace quirra_private
