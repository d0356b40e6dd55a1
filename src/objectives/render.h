// A picture of the mesh surface: every ray that starts on a boundary face paints one pixel,
// the one whose index is the ray's, with the colour of that face's normal as the ray met it
// (oriented against the ray). Written as a 24-bit bitmap. The picture makes sense when the
// rays come one per pixel in raster order, as a camera makes them.
#pragma once

#include <string>

#include "IO/bmp_file.h"
#include "objectives/objective.h"

struct RenderView : ObjectiveView {
    double* image = nullptr; // the three planes on the device
    int rows = 0;
    int columns = 0;

    // Red shows the normal's z component, green its x and blue its y, each mapped from
    // [-1, 1] onto [1, 0]. A ray whose index has no pixel paints nothing.
    __host__ __device__ void interactInterface(Ray* ray)
    {
        if (ray->face == -1 || image == nullptr) return;
        const int P = rows * columns;
        const int i = ray->index;
        if (i < 0 || i >= P) return;
        const Vec3 n = ray->normal;
        image[P + i] = 1.0 - (0.5 * static_cast<double>(n.x) + 0.5);
        image[2 * P + i] = 1.0 - (0.5 * static_cast<double>(n.y) + 0.5);
        image[i] = 1.0 - (0.5 * static_cast<double>(n.z) + 0.5);
    }
};

class Render : public Objective {
public:
    using View = RenderView;

    // The table form's keys, read and checked before anything changes: pixel_width and
    // pixel_height (integers, together within the image limits of BMPFile), pixel_size (a
    // number), output_file (a string). A missing or mistyped key raises, naming it.
    struct Settings {
        long long width;
        long long height;
        double pixelSize;
        std::string outputFile;
    };
    static Settings readConfig(const ConfigTable& table);

    // A zeroed image of the configured size (an earlier image is released).
    void config(const ConfigTable& table, Mesh& mesh) override;
    void config(const std::string& outputFile, int size) override;
    // The next numbered bitmap; raises when no image was configured.
    void result(Mesh& mesh) override;
    void result(Mesh& mesh, const double* deviceField) override;
    void result(Mesh& mesh, const double* hostFields, int count) override;
    // 3 * rows * columns doubles, the planes one after another.
    void getResult(double* host) override;
    double* getResultArrayDevicePtr() override { return image.deviceImage(); }

    View view(const MeshDataFlat&) const
    {
        View v;
        v.image = image.deviceImage();
        v.rows = image.rows;
        v.columns = image.columns;
        return v;
    }

    const std::string& outputFile() const { return outputFile_; }
    std::string outputName() const override { return outputFile_; }

    BMPFile image;

private:
    std::string outputFile_ = "output.bmp";
};
