// Section probes: vertical cuts through the heap that record the material coming to rest in
// them. A section across the bed stands at a chosen x and spans the width (its horizontal cells
// run along z); a section along the bed stands at a chosen z and spans the length (cells along
// x). Each (height, horizontal) cell of a section is an accumulator of every chunk that came to
// rest there: height row h holds the chunks that rest on h chunks below them, so a row is one
// chunk high and row 0 lies on the floor.
//
// Probes only read: the walk, the engine, the heights and the slices are the same with and
// without them. A chunk reaching a column that no section cuts costs two table reads.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace pilora {

enum class SectionKind : std::uint8_t { across = 0, along = 1 };

// Where a section stands: across the bed at x = position, or along it at z = position (m).
struct SectionPlacement {
    SectionKind kind = SectionKind::across;
    float position = 0.0f;

    friend bool operator==(const SectionPlacement&, const SectionPlacement&) = default;
};

template <class Parameters>
struct Section {
    SectionPlacement placement;
    std::uint32_t line = 0;   // the grid index (1-based) of the cut: x index across, z index along
    std::uint32_t width = 0;  // horizontal cells: grid_nz across, grid_nx along
    std::vector<Parameters> cells;  // rows of `width` cells, row 0 on the floor

    std::size_t rows() const { return width == 0 ? 0 : cells.size() / width; }

    void record(std::uint32_t cell, std::int32_t h, const Parameters& chunk) {
        const auto row = static_cast<std::size_t>(h);
        if (row >= rows()) cells.resize((row + 1) * width);  // grows geometrically
        cells[row * width + cell].merge(chunk);
    }
};

template <class Parameters>
class SectionProbes {
public:
    static constexpr std::size_t max_sections = 16;

    // Sections on a grid of nx by nz cells; each placement's line (1-based) given in `lines`.
    SectionProbes(std::uint32_t nx, std::uint32_t nz, const std::vector<SectionPlacement>& placements,
                  const std::vector<std::uint32_t>& lines)
        : across_mask_(std::size_t{nx} + 2, 0), along_mask_(std::size_t{nz} + 2, 0) {
        for (std::size_t s = 0; s < placements.size(); ++s) {
            Section<Parameters> section;
            section.placement = placements[s];
            section.line = lines[s];
            const bool across = placements[s].kind == SectionKind::across;
            section.width = across ? nz : nx;
            (across ? across_mask_ : along_mask_)[lines[s]] |= static_cast<std::uint16_t>(1u << s);
            sections_.push_back(std::move(section));
        }
    }

    // Whether a chunk resting on cell (i, k) falls in a section.
    bool cuts(std::int32_t i, std::int32_t k) const {
        return (across_mask_[static_cast<std::size_t>(i)] | along_mask_[static_cast<std::size_t>(k)]) != 0;
    }

    // Books a chunk resting on cell (i, k) at height h (chunks below it) into every section
    // cutting that cell.
    [[gnu::noinline]] void record(std::int32_t i, std::int32_t k, std::int32_t h, const Parameters& chunk) {
        unsigned mask = across_mask_[static_cast<std::size_t>(i)] | along_mask_[static_cast<std::size_t>(k)];
        while (mask != 0) {
            Section<Parameters>& section = sections_[static_cast<std::size_t>(std::countr_zero(mask))];
            mask &= mask - 1;
            const std::int32_t cell = section.placement.kind == SectionKind::across ? k - 1 : i - 1;
            section.record(static_cast<std::uint32_t>(cell), h, chunk);
        }
    }

    const std::vector<Section<Parameters>>& sections() const { return sections_; }
    std::vector<Section<Parameters>>& sections() { return sections_; }

private:
    std::vector<std::uint16_t> across_mask_;  // bit s set at the x index of across section s
    std::vector<std::uint16_t> along_mask_;   // bit s set at the z index of along section s
    std::vector<Section<Parameters>> sections_;
};

}  // namespace pilora
