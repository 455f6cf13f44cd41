// The stored preview of a spectrum as the summary's spectrum view draws it.
#pragma once

#include "platform/metadata/spectrum_preview.h"
#include "platform/toolkit/summary_pictures.h"

// The picture of `preview` alone: no peaks marked and no range shaded; the
// caller adds those from the document and the query.
SpectrumPicture PictureOfPreview(const metadata::SpectrumPreview& preview);
