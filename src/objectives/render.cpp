#include "objectives/render.h"

#include <cerrno>
#include <stdexcept>

#include "IO/config_table.h"
#include "rays/ray_generator.h"

Render::Settings Render::readConfig(const ConfigTable& table)
{
    Settings s;
    s.width = table.getInt("pixel_width");
    s.height = table.getInt("pixel_height");
    s.pixelSize = table.getDouble("pixel_size");
    s.outputFile = table.getFileName("output_file");
    checkImageSize(s.height, s.width, "render image (pixel_height x pixel_width)");
    return s;
}

void Render::config(const ConfigTable& table, Mesh&)
{
    const Settings s = readConfig(table);
    outputFile_ = s.outputFile;
    image.pixelSize = s.pixelSize;
    msg::out("Configured Render Objective with image size %lld x %lld , pixel size %f\n", s.width, s.height,
             s.pixelSize);
    image.init(static_cast<int>(s.height), static_cast<int>(s.width));
}

void Render::config(const std::string&, int)
{
    msg::out("Configuring with int size, not implemented for Render objective.\n");
}

void Render::result(Mesh&)
{
    if (!image.allocated()) throw std::runtime_error("the render objective has no image: configure it first");
    const std::string name = nextFileName(outputFile_);
    errno = 0;
    if (!image.write(name)) failedWrite(name);
    ++writeCounter;
}

void Render::result(Mesh&, const double*)
{
    msg::out("Warning: result with field argument not implemented for Render objective.\n");
}

void Render::result(Mesh&, const double*, int)
{
    msg::out("Warning: result with field argument not implemented for Render objective.\n");
}

void Render::getResult(double* host)
{
    if (host == nullptr) {
        msg::out("Error: hostPtr is nullptr in getResult\\n");
        return;
    }
    if (image.allocated()) dev::download(image.deviceImage(), host, image.values());
}
