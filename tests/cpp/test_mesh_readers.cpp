#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "IO/mesh_readers.h"
#include "mesh/mesh.h"
#include "mesh_fixtures.h"

namespace {

using fixtures::CapturedOutput;
using fixtures::fetch;
using fixtures::TempFile;

std::string errorOf(const std::string& text)
{
    TempFile file("refused.vtk", text);
    try {
        readVTK(file.path());
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "(no error)";
}

const std::string kHeader = "# vtk DataFile Version 3.0\ntitle\nASCII\nDATASET UNSTRUCTURED_GRID\n";

TEST(VtkReader, ReadsOneItemPerLineWithEveryMessage)
{
    TempFile file("two.vtk", fixtures::kTwoCubes);
    CapturedOutput out;
    Mesh mesh;
    readVTK(file.path(), mesh);
    EXPECT_EQ(out.str(), "Reading VTK file: " + file.path() +
                             "\nRead 50 lines from file\n"
                             "Loaded RefractiveIndex data for 12 nodes\n"
                             "Loaded Absorptivity data for 12 nodes\n"
                             "VTK file loaded: 2 elements, 12 nodes\n"
                             "Mesh connectivity: 10 boundary faces\n"
                             "Refractive index regions: 1 constant, 1 varying (50.0% constant)\n");
    const MeshDataFlat& m = mesh.h_mdata_devlink;
    EXPECT_EQ(m.nNodes, 12);
    EXPECT_EQ(m.nElements, 2);
    const auto coords = fetch(m.nodeCoords, 36);
    EXPECT_EQ(coords[8], 2.0f);       // x of node 8
    EXPECT_EQ(coords[12 + 2], 1.0f);  // y of node 2
    EXPECT_EQ(coords[24 + 11], 1.0f); // z of node 11
    EXPECT_EQ(fetch(m.elementNodes, 16), (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 1, 8, 9, 2, 5, 10, 11, 6}));
    EXPECT_EQ(fetch(m.refrIndex, 12)[8], 1.4f);
    EXPECT_EQ(fetch(m.absorptivity, 12)[0], 0.1f);
}

// The same mesh laid out as VTK's own writer does: nine numbers (three points) per line,
// several scalars per line, comments and blank lines between.
const std::string kTwoCubesVtkStyle = kHeader + "POINTS 12 float\n"
                                                "0 0 0 1 0 0 1 1 0\n"
                                                "0 1 0 0 0 1 1 0 1\n"
                                                "\n"
                                                "1 1 1 0 1 1 2 0 0\n"
                                                "# a comment inside the block\n"
                                                "2 1 0 2 0 1 2 1 1\n"
                                                "CELLS 2 18\n"
                                                "8 0 1 2 3 4 5 6 7 8 1 8\n"
                                                "9 2 5 10 11 6\n"
                                                "CELL_TYPES 2\n"
                                                "12 12\n"
                                                "POINT_DATA 12\n"
                                                "SCALARS RefractiveIndex float 1\n"
                                                "LOOKUP_TABLE default\n"
                                                "1.5 1.5 1.5 1.5 1.5 1.5\n"
                                                "1.5 1.5 1.4 1.4 1.4 1.4\n"
                                                "SCALARS Absorptivity float\n"
                                                "LOOKUP_TABLE default\n"
                                                "0.1 0.1 0.1 0.1 0.1 0.1 0.1 0.1 0.2 0.2 0.2 0.2\n";

TEST(VtkReader, ReadsSeveralNumbersPerLineLikeTheOneItemLayout)
{
    TempFile plain("plain.vtk", fixtures::kTwoCubes), packed("packed.vtk", kTwoCubesVtkStyle);
    auto a = readVTK(plain.path());
    CapturedOutput out;
    auto b = readVTK(packed.path());
    // 24 lines in the file; the two lookup-table lines are not counted.
    EXPECT_NE(out.str().find("Read 22 lines from file\n"), std::string::npos) << out.str();
    const MeshDataFlat &ma = a->h_mdata_devlink, &mb = b->h_mdata_devlink;
    EXPECT_EQ(fetch(ma.nodeCoords, 36), fetch(mb.nodeCoords, 36));
    EXPECT_EQ(fetch(ma.elementNodes, 16), fetch(mb.elementNodes, 16));
    EXPECT_EQ(fetch(ma.refrIndex, 12), fetch(mb.refrIndex, 12));
    EXPECT_EQ(fetch(ma.absorptivity, 12), fetch(mb.absorptivity, 12));
    EXPECT_EQ(fetch(ma.faceNodes, 40), fetch(mb.faceNodes, 40));
}

TEST(VtkReader, KeepsHexahedraAndSkipsOtherCellsWithOneWarning)
{
    const std::string text =
        kHeader + "POINTS 12 float\n0 0 0 1 0 0 1 1 0 0 1 0 0 0 1 1 0 1 1 1 1 0 1 1 2 0 0 2 1 0 2 0 1 2 1 1\n"
                  "CELLS 5 28\n1 0\n8 0 1 2 3 4 5 6 7\n4 8 9 11 10\n8 1 8 9 2 5 10 11 6\n1 11\n"
                  "CELL_TYPES 5\n1 12 9 12 1\n";
    TempFile file("mixed.vtk", text);
    CapturedOutput out;
    auto mesh = readVTK(file.path());
    EXPECT_EQ(mesh->h_mdata_devlink.nElements, 2);
    EXPECT_EQ(fetch(mesh->h_mdata_devlink.elementNodes, 16)[8], 1);
    EXPECT_NE(out.str().find("Warning: skipped cells that are not hexahedra: 2 of type 1, 1 of type 9\n"),
              std::string::npos)
        << out.str();
}

TEST(VtkReader, FieldArraysCarryTheMaterialFields)
{
    const std::string text = kHeader + "POINTS 8 float\n0 0 0 1 0 0 1 1 0 0 1 0 0 0 1 1 0 1 1 1 1 0 1 1\n"
                                       "CELLS 1 9\n8 0 1 2 3 4 5 6 7\nCELL_TYPES 1\n12\n"
                                       "POINT_DATA 8\nFIELD FieldData 3\n"
                                       "Temperature 2 8 float\n1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16\n"
                                       "RefractiveIndex 1 8 float\n1.1 1.2 1.3 1.4 1.5 1.6 1.7 1.8\n"
                                       "Absorptivity 1 8 double\n0.5 0.5 0.5 0.5\n0.5 0.5 0.5 0.5\n";
    TempFile file("field.vtk", text);
    CapturedOutput out;
    auto mesh = readVTK(file.path());
    EXPECT_EQ(fetch(mesh->h_mdata_devlink.refrIndex, 8)[7], 1.8f);
    EXPECT_EQ(fetch(mesh->h_mdata_devlink.absorptivity, 8)[3], 0.5f);
    EXPECT_NE(out.str().find("Loaded RefractiveIndex data for 8 nodes\nLoaded Absorptivity data for 8 nodes\n"),
              std::string::npos)
        << out.str();
}

TEST(VtkReader, MissingOrShortMaterialFieldsFallBackToDefaults)
{
    const std::string text = kHeader +
                             "POINTS 8 float\n0 0 0 1 0 0 1 1 0 0 1 0 0 0 1 1 0 1 1 1 1 0 1 1\n"
                             "CELLS 1 9\n8 0 1 2 3 4 5 6 7\nCELL_TYPES 1\n12\n"
                             "POINT_DATA 8\nSCALARS RefractiveIndex float 1\nLOOKUP_TABLE default\n1.7 1.7 1.7\n"
                             "SCALARS Other float 1\nLOOKUP_TABLE default\n1 1 1 1 1 1 1 1\n";
    TempFile file("short.vtk", text);
    CapturedOutput out;
    auto mesh = readVTK(file.path());
    EXPECT_NE(out.str().find("Warning: RefractiveIndex data size mismatch: read 3 values, expected 8 nodes\n"),
              std::string::npos)
        << out.str();
    EXPECT_NE(out.str().find("Warning: no Absorptivity data in the file; absorptivity set to 0 at every node\n"),
              std::string::npos)
        << out.str();
    for (float v : fetch(mesh->h_mdata_devlink.refrIndex, 8)) EXPECT_EQ(v, 1.0f);
    for (float v : fetch(mesh->h_mdata_devlink.absorptivity, 8)) EXPECT_EQ(v, 0.0f);
}

TEST(VtkReader, RefusesFilesItCannotReadCorrectlyAndKeepsTheMesh)
{
    TempFile good("good.vtk", fixtures::kTwoCubes);
    Mesh mesh;
    readVTK(good.path(), mesh);
    const float* coordsBefore = mesh.h_mdata_devlink.nodeCoords;

    const std::string points8 = "POINTS 8 float\n0 0 0 1 0 0 1 1 0 0 1 0 0 0 1 1 0 1 1 1 1 0 1 1\n";
    const std::pair<std::string, std::string> cases[] = {
        {kHeader + "POINTS 8 float\n0 0 0 1 0 0 1 1 0\nCELLS 1 9\n8 0 1 2 3 4 5 6 7\nCELL_TYPES 1\n12\n",
         "the POINTS section ends after 3 of 8 points"},
        {kHeader + "POINTS 8 float\n0 0 0 1 0 0 1 1 0 0 1 0 0 0 1 1 0 1 1 1 1 0 1\n",
         "the POINTS section ends after 7 of 8 points"},
        {kHeader + points8 + "CELLS 2 18\n8 0 1 2 3 4 5 6 7\nCELL_TYPES 2\n12 12\n",
         "the CELLS section ends after 1 of 2 cells"},
        {kHeader + points8 + "CELLS 1 9\n8 0 1 2 3 4 5 6\n", "the CELLS section ends after 0 of 1 cells"},
        {kHeader + points8 + "CELLS 1 9\n8 0 1 2 3 4 5 6 8\nCELL_TYPES 1\n12\n",
         "cell 0 refers to node 8, outside [0, 8)"},
        {kHeader + points8 + "CELLS 1 9\n8 0 1 2 3 4 5 6 -1\nCELL_TYPES 1\n12\n",
         "cell 0 refers to node -1, outside [0, 8)"},
        {kHeader + points8 + "CELLS 1 5\n4 0 1 2 3\nCELL_TYPES 1\n9\n",
         "the file contains no hexahedra (VTK cell type 12)"},
        {kHeader + points8, "the file contains no hexahedra (VTK cell type 12)"},
        {"# vtk DataFile Version 3.0\ntitle\nBINARY\nDATASET UNSTRUCTURED_GRID\n",
         "BINARY legacy files cannot be read"},
        {"# vtk DataFile Version 5.1\ntitle\nASCII\nDATASET UNSTRUCTURED_GRID\n" + points8 +
             "CELLS 2 8\nOFFSETS vtktypeint64\n0 8\nCONNECTIVITY vtktypeint64\n0 1 2 3 4 5 6 7\nCELL_TYPES 1\n12\n",
         "the OFFSETS/CONNECTIVITY cell layout of legacy version 5"},
        {kHeader + points8 + "CELLS 1 9\n8 0 1 2 3 4 5 6 7\nCELL_TYPES 2\n12\n",
         "the CELL_TYPES section ends after 1 of 2 cell types"},
        {kHeader + points8 + "CELLS 1 9\n8 0 1 2 3 4 5 6 7\n", "(no error)"},
    };
    for (const auto& [text, problem] : cases) {
        CapturedOutput quiet;
        const std::string error = errorOf(text);
        EXPECT_NE(error.find(problem), std::string::npos) << "expected: " << problem << "\ngot: " << error;
        if (problem != "(no error)") {
            EXPECT_EQ(error.rfind("VTK file ", 0), 0u) << error;
        }
        try {
            TempFile bad("bad.vtk", text);
            readVTK(bad.path(), mesh);
        } catch (const std::runtime_error&) {
        }
        if (problem == "(no error)") continue;
        EXPECT_EQ(mesh.h_mdata_devlink.nNodes, 12);
        EXPECT_EQ(mesh.h_mdata_devlink.nElements, 2);
        EXPECT_EQ(mesh.h_mdata_devlink.nodeCoords, coordsBefore);
    }
}

TEST(VtkReader, UnreadableFileRaisesItsPathAndReason)
{
    Mesh mesh;
    EXPECT_THROW(
        {
            try {
                readVTK("/nonexistent/mesh.vtk", mesh);
            } catch (const std::runtime_error& e) {
                EXPECT_STREQ(e.what(), "Cannot open VTK file /nonexistent/mesh.vtk: No such file or directory");
                throw;
            }
        },
        std::runtime_error);
    EXPECT_EQ(mesh.h_mdata_devlink.nNodes, 0);
}

TEST(VtkReader, ATitleThatLooksLikeAKeywordIsJustATitle)
{
    const std::string text = "# vtk DataFile Version 3.0\nCELLS of my part\nASCII\nDATASET UNSTRUCTURED_GRID\n"
                             "POINTS 8 float\n0 0 0 1 0 0 1 1 0 0 1 0 0 0 1 1 0 1 1 1 1 0 1 1\n"
                             "CELLS 1 9\n8 0 1 2 3 4 5 6 7\nCELL_TYPES 1\n12\n";
    TempFile file("title.vtk", text);
    CapturedOutput quiet;
    EXPECT_EQ(readVTK(file.path())->h_mdata_devlink.nElements, 1);
}

const char* kObjSquareFaces = "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nv 0 0 1\nv 1 0 1\n"
                              "f 1 2 3 4\nf 1/1 5/2 6/3 2/4\n";

TEST(ObjReader, ComputesNormalsWhenNoneAreGiven)
{
    TempFile file("quads.obj", kObjSquareFaces);
    CapturedOutput out;
    auto mesh = readOBJ(file.path());
    EXPECT_EQ(out.str(), "\nFinished reading obj file, summary:\n - Faces: 2\n - Nodes: 6\n");
    const MeshDataFlat& m = mesh->h_mdata_devlink;
    EXPECT_EQ(m.nFaces, 2);
    EXPECT_EQ(fetch(m.faceNodes, 8), (std::vector<int>{0, 1, 2, 3, 0, 4, 5, 1}));
    // (P1 - P0) x (P3 - P0): +z for the first face, -y... for the second: (0,0,1) x (1,0,0) = (0,1,0)
    EXPECT_EQ(fetch(m.faceNormals, 6), (std::vector<float>{0, 0, 0, 1, 1, 0}));
}

TEST(ObjReader, UsesGivenNormalsUnchangedAndComputesTheMissingOnes)
{
    TempFile file("quads_vn.obj", std::string(kObjSquareFaces) + "vn 0 0 2\n");
    CapturedOutput quiet;
    auto mesh = readOBJ(file.path());
    EXPECT_EQ(fetch(mesh->h_mdata_devlink.faceNormals, 6), (std::vector<float>{0, 0, 0, 1, 2, 0}));
}

TEST(ObjReader, RefusesWhatItCannotRead)
{
    CapturedOutput quiet;
    const std::pair<std::string, std::string> cases[] = {
        {"v 0 0 0\nv 1 0 0\nv 1 1 0\nf 1 2 3\n", "only quadrilateral faces can be read"},
        {"v 0 0 0\nv 1 0 0\nv 1 1 0\nf 1 2 3 4\n", "refers to vertex 4, outside 1..3"},
        {"v 0 0 0\nf 1 x 3 4\n", "stoi"},
    };
    for (const auto& [text, problem] : cases) {
        TempFile file("bad.obj", text);
        try {
            readOBJ(file.path());
            ADD_FAILURE() << "accepted: " << text;
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find(problem), std::string::npos) << e.what();
        }
    }
    try {
        readOBJ("/nonexistent/surface.obj");
        ADD_FAILURE() << "opened a missing file";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Cannot open OBJ file /nonexistent/surface.obj: No such file or directory");
    }
}

} // namespace

namespace {

TEST(VtkReader, CellDataOfTheMaterialNamesIsNotNodalData)
{
    const std::string text =
        kHeader + "POINTS 8 float\n0 0 0 1 0 0 1 1 0 0 1 0 0 0 1 1 0 1 1 1 1 0 1 1\n"
                  "CELLS 1 9\n8 0 1 2 3 4 5 6 7\nCELL_TYPES 1\n12\n"
                  "CELL_DATA 1\nSCALARS RefractiveIndex float 1\nLOOKUP_TABLE default\n"
                  "2 2 2 2 2 2 2 2 2\n"
                  "POINT_DATA 8\nSCALARS Absorptivity float 1\nLOOKUP_TABLE default\n0.5 0.5 0.5 0.5 0.5 0.5 0.5 0.5\n";
    TempFile file("celldata.vtk", text);
    CapturedOutput out;
    auto mesh = readVTK(file.path());
    EXPECT_NE(out.str().find("Warning: no RefractiveIndex data in the file"), std::string::npos) << out.str();
    EXPECT_NE(out.str().find("Loaded Absorptivity data for 8 nodes"), std::string::npos) << out.str();
    for (float v : fetch(mesh->h_mdata_devlink.refrIndex, 8)) EXPECT_EQ(v, 1.0f);
}

} // namespace
