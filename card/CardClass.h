// The construction, copying and assignment members that every card class
// has: the whole state of a card object is its reader base.
#ifndef ZU_CARDCLASS_H
#define ZU_CARDCLASS_H

#define ZU_DEFINE_CARD_MEMBERS(X, Parent)                                                          \
    X::X() : Parent() {}                                                                           \
    X::X(CZUReader* reader) : Parent() {                                                           \
        CopyReaderParameter(reader);                                                               \
    }                                                                                              \
    X::X(const X& other) : Parent(other) {}                                                        \
    X& X::operator=(const X& other) {                                                              \
        Parent::operator=(other);                                                                  \
        return *this;                                                                              \
    }                                                                                              \
    const X& X::operator=(const CZUReader& reader) {                                               \
        CopyReaderParameter(&reader);                                                              \
        return *this;                                                                              \
    }                                                                                              \
    X::~X() {}

#endif
