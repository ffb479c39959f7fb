// Reading a record's texts where an absent one simply reads empty (log rows, replies).
#pragma once

#include "plat_json.h"

namespace qlm {

// The text under key; "" when rec is NULL or the key is absent or holds no text. The text
// belongs to rec.
inline const char* Json_Text_Of(PT_JSON rec, const char* key) {
    const char* text = nullptr;
    return rec != nullptr && Json_Dict_Find_Str(rec, key, text) == 0 && text != nullptr ? text : "";
}

}  // namespace qlm
