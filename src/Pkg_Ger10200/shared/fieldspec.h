#pragma once
// The declarative layout the screens build themselves from: the fields of a data set (or a
// query) and the columns of a grid, each a table of these rows (shared/builders.h).

namespace fiscal::ger10200::layout {

constexpr const char *kMaskGrupo = "999;0; ";
constexpr const char *kMaskCodigo2 = "99;0; ";

struct FieldSpec {
    const char *name;
    int size;
    const char *label;      // nullptr: the field's name
    bool visible = true;
    bool readOnly = false;
    const char *editMask = nullptr;
};

struct ColumnSpec {
    const char *field;
    const char *title;
    int width;              // 0: the grid's default width
    bool readOnly;
    bool ellipsis;
};

} // namespace fiscal::ger10200::layout
