// Legacy VTK reader. Numeric blocks (POINTS, CELLS, CELL_TYPES, the RefractiveIndex and
// Absorptivity scalars, FIELD arrays) are read as streams of numbers, however many a line
// holds; a token that is not a number ends a block, so a short block is detected.
#include "IO/mesh_readers.h"

#include "IO/mesh_build.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "common/messages.h"
#include "mesh/mesh.h"

namespace {

constexpr int kVtkHexahedron = 12;
constexpr int kVtkVoxel = 11;
// A voxel numbers its corners x fastest (0 1 / 2 3 on each layer); a hexahedron goes round.
constexpr int kVoxelToHexahedron[8] = {0, 1, 3, 2, 4, 5, 7, 6};

std::string_view trim(std::string_view s)
{
    const char* ws = " \t\r\n";
    const auto first = s.find_first_not_of(ws);
    if (first == std::string_view::npos) return {};
    const auto last = s.find_last_not_of(ws);
    return s.substr(first, last - first + 1);
}

std::vector<std::string_view> tokenize(std::string_view s)
{
    std::vector<std::string_view> tokens;
    std::size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
        const std::size_t start = i;
        while (i < s.size() && s[i] != ' ' && s[i] != '\t') ++i;
        if (i > start) tokens.push_back(s.substr(start, i - start));
    }
    return tokens;
}

// Whole-token conversions, independent of the C locale.
template <typename T>
std::optional<T> parseNumber(std::string_view token)
{
    if (!token.empty() && token.front() == '+') token.remove_prefix(1);
    T value{};
    const auto [end, ec] = std::from_chars(token.data(), token.data() + token.size(), value);
    if (ec != std::errc() || end != token.data() + token.size()) return std::nullopt;
    return value;
}

bool isNumber(std::string_view token) { return parseNumber<double>(token).has_value(); }

[[noreturn]] void refuse(const std::string& path, const std::string& problem)
{
    throw std::runtime_error("VTK file " + path + ": " + problem);
}

enum class Block { None, Points, Cells, CellTypes, RefrIndex, Absorptivity, FieldHeader, FieldArray };

// Everything read from the file, before any of it reaches the mesh.
struct VtkContents {
    int lines = 0;
    int pointCount = 0;
    std::vector<float> points; // x, y, z per point
    bool sawCells = false;
    int cellCount = 0;
    std::vector<int> cellSizes;
    std::vector<int> cellIds;
    bool sawCellTypes = false;
    int cellTypeCount = 0;
    std::vector<int> cellTypes;
    bool sawRefrIndex = false, sawAbsorptivity = false;
    std::vector<float> refrIndex, absorptivity;
};

class VtkParser {
public:
    VtkParser(const std::string& path, std::ifstream& in) : path_(path), in_(in) {}

    VtkContents parse()
    {
        std::string line;
        while (nextLine(line)) {
            ++data_.lines;
            const std::string_view text = trim(line);
            if (text.empty()) continue;
            if (text.front() == '#') {
                // The line after the "# vtk DataFile Version" header is a free-text title.
                titleNext_ = text.rfind("# vtk DataFile", 0) == 0;
                continue;
            }
            if (titleNext_) {
                titleNext_ = false;
                continue;
            }
            const std::vector<std::string_view> tokens = tokenize(text);
            if (wantsNumbers() && isNumber(tokens.front())) {
                consumeNumbers(tokens);
                continue;
            }
            refuseUnreadableLayout(tokens.front());
            endBlock();
            keyword(tokens);
        }
        endBlock();
        return std::move(data_);
    }

private:
    bool nextLine(std::string& line)
    {
        if (pushedBack_) {
            line = std::move(*pushedBack_);
            pushedBack_.reset();
            return true;
        }
        return static_cast<bool>(std::getline(in_, line));
    }

    std::size_t expected() const
    {
        switch (block_) {
        case Block::Points: return 3 * static_cast<std::size_t>(data_.pointCount);
        case Block::Cells: return static_cast<std::size_t>(data_.cellCount);
        case Block::CellTypes: return static_cast<std::size_t>(data_.cellTypeCount);
        case Block::RefrIndex:
        case Block::Absorptivity: return static_cast<std::size_t>(data_.pointCount);
        case Block::FieldArray: return fieldValues_;
        default: return 0;
        }
    }

    std::size_t accepted() const
    {
        switch (block_) {
        case Block::Points: return data_.points.size();
        case Block::Cells: return data_.cellSizes.size() - (pendingIds_ > 0 ? 1 : 0);
        case Block::CellTypes: return data_.cellTypes.size();
        case Block::RefrIndex: return data_.refrIndex.size();
        case Block::Absorptivity: return data_.absorptivity.size();
        case Block::FieldArray: return fieldAccepted_;
        default: return 0;
        }
    }

    bool wantsNumbers() const
    {
        return block_ != Block::None && block_ != Block::FieldHeader && (accepted() < expected() || pendingIds_ > 0);
    }

    void consumeNumbers(const std::vector<std::string_view>& tokens)
    {
        for (std::string_view token : tokens) {
            if (!wantsNumbers()) return; // surplus numbers on the last line of a block
            if (!consumeOne(token)) {
                endBlock(); // a word inside a numeric block ends it
                return;
            }
        }
    }

    bool consumeOne(std::string_view token)
    {
        switch (block_) {
        case Block::Points:
        case Block::RefrIndex:
        case Block::Absorptivity: {
            const auto v = parseNumber<float>(token);
            if (!v) return false;
            (block_ == Block::Points      ? data_.points
             : block_ == Block::RefrIndex ? data_.refrIndex
                                          : data_.absorptivity)
                .push_back(*v);
            return true;
        }
        case Block::Cells: {
            const auto v = parseNumber<int>(token);
            if (!v) return false;
            if (pendingIds_ > 0) {
                data_.cellIds.push_back(*v);
                --pendingIds_;
            } else {
                if (*v < 0)
                    refuse(path_, "cell " + std::to_string(data_.cellSizes.size()) + " has a negative node count");
                data_.cellSizes.push_back(*v);
                pendingIds_ = *v;
            }
            return true;
        }
        case Block::CellTypes: {
            const auto v = parseNumber<int>(token);
            if (!v) return false;
            data_.cellTypes.push_back(*v);
            return true;
        }
        case Block::FieldArray: {
            const auto v = parseNumber<float>(token);
            if (!v) return false;
            if (fieldTarget_) fieldTarget_->push_back(*v);
            ++fieldAccepted_;
            if (fieldAccepted_ == fieldValues_) nextFieldArray();
            return true;
        }
        default: return false;
        }
    }

    // Closes the running block; a section of the mesh that ended early is an error (the
    // scalar blocks keep their size-mismatch warning instead).
    void endBlock()
    {
        const Block ended = block_;
        const bool shortBlock = accepted() < expected() || pendingIds_ > 0;
        block_ = Block::None;
        if (!shortBlock) return;
        switch (ended) {
        case Block::Points:
            refuse(path_, "the POINTS section ends after " + std::to_string(data_.points.size() / 3) + " of " +
                              std::to_string(data_.pointCount) + " points");
        case Block::Cells:
            refuse(path_, "the CELLS section ends after " + std::to_string(data_.cellSizes.size() - (pendingIds_ > 0)) +
                              " of " + std::to_string(data_.cellCount) + " cells");
        case Block::CellTypes:
            refuse(path_, "the CELL_TYPES section ends after " + std::to_string(data_.cellTypes.size()) + " of " +
                              std::to_string(data_.cellTypeCount) + " cell types");
        case Block::FieldArray:
            refuse(path_, "the FIELD array " + fieldName_ + " ends after " + std::to_string(fieldAccepted_) + " of " +
                              std::to_string(fieldValues_) + " values");
        default: return;
        }
    }

    int countAfter(const std::vector<std::string_view>& tokens, std::size_t index, const char* what)
    {
        const auto v = index < tokens.size() ? parseNumber<int>(tokens[index]) : std::nullopt;
        if (!v || *v < 0) refuse(path_, std::string("the ") + what + " line has no valid count");
        return *v;
    }

    void keyword(const std::vector<std::string_view>& tokens)
    {
        const std::string_view word = tokens.front();
        if (block_ == Block::FieldHeader || fieldArraysLeft_ > 0) {
            if (!isKeyword(word)) {
                fieldArray(tokens);
                return;
            }
            fieldArraysLeft_ = 0;
        }
        if (word == "POINTS") {
            data_.pointCount = countAfter(tokens, 1, "POINTS");
            data_.points.clear();
            data_.points.reserve(3 * static_cast<std::size_t>(data_.pointCount));
            block_ = Block::Points;
        } else if (word == "CELLS") {
            data_.sawCells = true;
            data_.cellCount = countAfter(tokens, 1, "CELLS");
            data_.cellSizes.clear();
            data_.cellIds.clear();
            pendingIds_ = 0;
            block_ = Block::Cells;
        } else if (word == "CELL_TYPES") {
            data_.sawCellTypes = true;
            data_.cellTypeCount = countAfter(tokens, 1, "CELL_TYPES");
            data_.cellTypes.clear();
            block_ = Block::CellTypes;
        } else if (word == "POINT_DATA" || word == "CELL_DATA") {
            cellData_ = word == "CELL_DATA";
        } else if (word == "SCALARS") {
            const std::string_view name = tokens.size() > 1 ? tokens[1] : std::string_view();
            // Only point data gives nodal fields; arrays of the same names over cells are
            // read past like any other array.
            if (!cellData_ && (name == "RefractiveIndex" || name == "Absorptivity")) {
                const bool index = name == "RefractiveIndex";
                (index ? data_.sawRefrIndex : data_.sawAbsorptivity) = true;
                (index ? data_.refrIndex : data_.absorptivity).clear();
                block_ = index ? Block::RefrIndex : Block::Absorptivity;
                skipLookupTableLine();
            }
        } else if (word == "FIELD") {
            fieldArraysLeft_ = countAfter(tokens, 2, "FIELD");
            block_ = fieldArraysLeft_ > 0 ? Block::FieldHeader : Block::None;
        }
        // Anything else (header lines, POINT_DATA, CELL_DATA, other arrays and their values)
        // closes the running block and is not needed.
    }

    void refuseUnreadableLayout(std::string_view word)
    {
        if (word == "BINARY") refuse(path_, "BINARY legacy files cannot be read; write the mesh as ASCII");
        if (word == "OFFSETS" || word == "CONNECTIVITY") {
            refuse(path_, "the OFFSETS/CONNECTIVITY cell layout of legacy version 5 (VTK 9, meshio) cannot be read by "
                          "this reader; write the mesh in the legacy version 4.2 layout");
        }
    }

    static bool isKeyword(std::string_view word)
    {
        for (const char* k :
             {"POINTS", "CELLS", "CELL_TYPES", "POINT_DATA", "CELL_DATA", "SCALARS", "VECTORS", "NORMALS", "TENSORS",
              "TEXTURE_COORDINATES", "LOOKUP_TABLE", "FIELD", "METADATA", "OFFSETS", "CONNECTIVITY", "DATASET"}) {
            if (word == k) return true;
        }
        return false;
    }

    // The line after a recognised SCALARS line names its lookup table and is not counted.
    // A file without that line goes straight on with its values, which are read.
    void skipLookupTableLine()
    {
        std::string next;
        if (!std::getline(in_, next)) return;
        const std::string_view text = trim(next);
        if (text.rfind("LOOKUP_TABLE", 0) != 0) pushedBack_ = std::move(next);
    }

    // "name components tuples type": the values of RefractiveIndex and Absorptivity are
    // kept, those of any other array are read past.
    void fieldArray(const std::vector<std::string_view>& tokens)
    {
        fieldName_ = std::string(tokens.front());
        const int components = countAfter(tokens, 1, ("FIELD array " + fieldName_).c_str());
        const int tuples = countAfter(tokens, 2, ("FIELD array " + fieldName_).c_str());
        fieldValues_ = static_cast<std::size_t>(components) * static_cast<std::size_t>(tuples);
        fieldAccepted_ = 0;
        fieldTarget_ = nullptr;
        if (cellData_) {
            // values of a cell array: read past
        } else if (fieldName_ == "RefractiveIndex") {
            data_.sawRefrIndex = true;
            data_.refrIndex.clear();
            fieldTarget_ = &data_.refrIndex;
        } else if (fieldName_ == "Absorptivity") {
            data_.sawAbsorptivity = true;
            data_.absorptivity.clear();
            fieldTarget_ = &data_.absorptivity;
        }
        block_ = Block::FieldArray;
        if (fieldValues_ == 0) nextFieldArray();
    }

    void nextFieldArray()
    {
        --fieldArraysLeft_;
        block_ = fieldArraysLeft_ > 0 ? Block::FieldHeader : Block::None;
    }

    const std::string& path_;
    std::ifstream& in_;
    VtkContents data_;
    Block block_ = Block::None;
    int pendingIds_ = 0;
    std::optional<std::string> pushedBack_;
    bool titleNext_ = false;
    bool cellData_ = false; // inside a CELL_DATA section
    int fieldArraysLeft_ = 0;
    std::string fieldName_;
    std::size_t fieldValues_ = 0, fieldAccepted_ = 0;
    std::vector<float>* fieldTarget_ = nullptr;
};

// Picks the hexahedra out of the cells and checks every node id.
std::vector<int> hexahedra(const std::string& path, const VtkContents& data)
{
    const std::size_t cells = data.cellSizes.size();
    if (data.sawCellTypes && data.cellTypes.size() != cells) {
        refuse(path, "CELL_TYPES lists " + std::to_string(data.cellTypes.size()) + " types for " +
                         std::to_string(cells) + " cells");
    }
    std::vector<int> connectivity;
    connectivity.reserve(8 * cells);
    std::map<int, int> skipped;
    std::size_t offset = 0;
    for (std::size_t c = 0; c < cells; ++c) {
        const int size = data.cellSizes[c];
        for (int k = 0; k < size; ++k) {
            const int id = data.cellIds[offset + k];
            if (id < 0 || id >= data.pointCount) {
                refuse(path, "cell " + std::to_string(c) + " refers to node " + std::to_string(id) + ", outside [0, " +
                                 std::to_string(data.pointCount) + ")");
            }
        }
        if (!data.sawCellTypes && size != 8) {
            refuse(path, "cell " + std::to_string(c) + " has " + std::to_string(size) +
                             " nodes and the file has no CELL_TYPES section to say what it is");
        }
        const int type = data.sawCellTypes ? data.cellTypes[c] : kVtkHexahedron;
        if (type == kVtkHexahedron || type == kVtkVoxel) {
            if (size != 8) {
                refuse(path, "cell " + std::to_string(c) + " is a " + (type == kVtkVoxel ? "voxel" : "hexahedron") +
                                 " with " + std::to_string(size) + " nodes");
            }
            for (int k = 0; k < 8; ++k) {
                connectivity.push_back(data.cellIds[offset + (type == kVtkVoxel ? kVoxelToHexahedron[k] : k)]);
            }
        } else {
            ++skipped[type];
        }
        offset += static_cast<std::size_t>(size);
    }
    if (connectivity.empty()) refuse(path, "the file contains no hexahedra (VTK cell type 12)");
    if (!skipped.empty()) {
        std::string counts;
        for (const auto& [type, count] : skipped) {
            counts += (counts.empty() ? "" : ", ") + std::to_string(count) + " of type " + std::to_string(type);
        }
        msg::out("Warning: skipped cells that are not hexahedra: %s\n", counts.c_str());
    }
    return connectivity;
}

} // namespace

void readVTK(const std::string& path, Mesh& mesh)
{
    std::ifstream in(path);
    if (!in) throw std::runtime_error("Cannot open VTK file " + path + ": " + std::strerror(errno));
    msg::out("Reading VTK file: %s\n", path.c_str());

    VtkContents data = VtkParser(path, in).parse();
    HexMeshInput input;
    input.hexahedra = hexahedra(path, data);
    msg::out("Read %d lines from file\n", data.lines);
    input.points = std::move(data.points);
    input.refrIndex = {std::move(data.refrIndex), data.sawRefrIndex};
    input.absorptivity = {std::move(data.absorptivity), data.sawAbsorptivity};
    buildHexMesh(mesh, input, {"VTK file " + path, "in the file", "VTK file loaded"});
}

bool readsAsLegacyAsciiVtk(const std::string& path)
{
    std::ifstream in(path);
    if (!in) return true; // the reader's own message says so
    std::string ext = path.size() >= 4 ? path.substr(path.size() - 4) : std::string();
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
    if (ext != ".vtk") return false;
    // The header, the title and the format line come first; the version decides the cell layout.
    std::string line;
    int lines = 0;
    while (lines < 3 && std::getline(in, line)) {
        const std::string_view text = trim(line);
        if (text.empty()) continue;
        ++lines;
        if (lines == 1) {
            constexpr std::string_view header = "# vtk DataFile Version";
            if (text.rfind(header, 0) != 0) return true; // no header: the reader judges the rest
            const auto version = parseNumber<double>(trim(text.substr(header.size())));
            if (version && *version >= 5.0) return false;
        } else if (text == "BINARY") { // the format line, after a title that may be blank
            return false;
        }
    }
    return true;
}

std::unique_ptr<Mesh> readVTK(const std::string& path)
{
    auto mesh = std::make_unique<Mesh>();
    readVTK(path, *mesh);
    return mesh;
}
