#pragma once
// placeholder: the unlocked data structure behind SoundCatalogue
class SoundCatalogueData {
public:
    template <class F> void ForEachInDisplayOrder(F&&) const {}
    template <class F> void ForEachInNumberOrder(F&&) const {}
};
