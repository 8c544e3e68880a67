// The draw's store of fitted frames and encoded windows: one list of every
// entry from the newest use to the oldest, for letting the oldest go, and a
// chain per slot, for finding an entry among the few of its slot.
#include <stdlib.h>

#include "render/render.h"

namespace {

bool same_key(const cache_key& a, const cache_key& b) {
    return a.slot == b.slot && a.generation == b.generation && a.kind == b.kind &&
           a.frame == b.frame && a.box_w == b.box_w && a.box_h == b.box_h && a.left == b.left &&
           a.top == b.top && a.width == b.width && a.height == b.height && a.columns == b.columns &&
           a.rows == b.rows;
}

void unlink_from_list(draw_cache* cache, cache_entry* entry) {
    (entry->newer ? entry->newer->older : cache->newest) = entry->older;
    (entry->older ? entry->older->newer : cache->oldest) = entry->newer;
    entry->newer = entry->older = nullptr;
}

void link_as_newest(draw_cache* cache, cache_entry* entry) {
    entry->older = cache->newest;
    entry->newer = nullptr;
    (cache->newest ? cache->newest->newer : cache->oldest) = entry;
    cache->newest = entry;
}

// Frees `entry`, which `link` points at in its slot's chain.
void drop(draw_cache* cache, cache_entry** link) {
    cache_entry* entry = *link;
    *link = entry->next_in_slot;
    unlink_from_list(cache, entry);
    cache->bytes -= entry->size;
    free(entry->data);
    free(entry);
}

// The link in its slot's chain that points at `entry`.
cache_entry** link_to(draw_cache* cache, cache_entry* entry) {
    cache_entry** link = &cache->by_slot[entry->key.slot];
    while (*link != entry) link = &(*link)->next_in_slot;
    return link;
}

bool valid_slot(int32_t slot) {
    return slot >= 0 && slot < IMAGE_SLOTS;
}

}  // namespace

cache_entry* draw_cache_find(draw_cache* cache, const cache_key& key) {
    if (!valid_slot(key.slot)) return nullptr;
    cache_entry* found = nullptr;
    for (cache_entry** link = &cache->by_slot[key.slot]; *link;) {
        if ((*link)->key.generation != key.generation) {
            drop(cache, link);
            continue;
        }
        if (same_key((*link)->key, key)) found = *link;
        link = &(*link)->next_in_slot;
    }
    if (found) {
        unlink_from_list(cache, found);
        link_as_newest(cache, found);
    }
    return found;
}

void draw_cache_make_room(draw_cache* cache, size_t incoming) {
    while (cache->oldest && cache->bytes + incoming > cache->limit) {
        drop(cache, link_to(cache, cache->oldest));
    }
}

bool draw_cache_keep(draw_cache* cache, const cache_key& key, uint8_t* data, size_t size) {
    if (!valid_slot(key.slot) || size > cache->limit) return false;
    // The slot's entries that make way: another fitted frame, or its oldest
    // window when it has all it may keep.
    int32_t windows = 0;
    for (cache_entry** link = &cache->by_slot[key.slot]; *link;) {
        cache_entry* entry = *link;
        if (entry->key.kind == key.kind &&
            (key.kind == CACHE_FITTED || same_key(entry->key, key))) {
            drop(cache, link);
            continue;
        }
        if (entry->key.kind == CACHE_WINDOW) windows++;
        link = &entry->next_in_slot;
    }
    if (key.kind == CACHE_WINDOW && windows >= WINDOWS_PER_SLOT) {
        cache_entry* oldest = nullptr;
        for (cache_entry* e = cache->oldest; e && !oldest; e = e->newer) {
            if (e->key.slot == key.slot && e->key.kind == CACHE_WINDOW) oldest = e;
        }
        if (oldest) drop(cache, link_to(cache, oldest));
    }
    draw_cache_make_room(cache, size);
    auto* entry = static_cast<cache_entry*>(calloc(1, sizeof(cache_entry)));
    if (!entry) return false;
    *entry = {key, data, size, nullptr, nullptr, cache->by_slot[key.slot]};
    cache->by_slot[key.slot] = entry;
    link_as_newest(cache, entry);
    cache->bytes += size;
    return true;
}

void draw_cache_clear(draw_cache* cache) {
    while (cache->oldest) drop(cache, link_to(cache, cache->oldest));
}
