#include "names.hpp"

namespace ordwyne::py {

NameTable<kCommonCount>& common_names() {
    static NameTable<kCommonCount> table({"add_note", "__qualname__", "__name__", "__all__"});
    return table;
}

}  // namespace ordwyne::py
