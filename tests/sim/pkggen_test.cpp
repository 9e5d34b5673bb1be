// The sample package generator: archive contents, names, digests and the ODX-F structure the
// flasher's reader queries.
#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/xpath.h>
#include <zip.h>

#include <filesystem>
#include <map>

#include "sim/pkggen/pkggen.h"
#include "sim/sa2.h"
#include "sim/sha256.h"
#include "temp_dir.h"

namespace {

std::map<std::string, std::string> readZip(const std::string& path) {
    std::map<std::string, std::string> out;
    int err = 0;
    zip_t* z = zip_open(path.c_str(), ZIP_RDONLY, &err);
    if (z == nullptr) return out;
    for (zip_int64_t i = 0; i < zip_get_num_entries(z, 0); ++i) {
        zip_stat_t st;
        zip_stat_index(z, zip_uint64_t(i), 0, &st);
        std::string data(st.size, '\0');
        zip_file_t* f = zip_fopen_index(z, zip_uint64_t(i), 0);
        zip_fread(f, data.data(), st.size);
        zip_fclose(f);
        out[st.name] = data;
    }
    zip_close(z);
    return out;
}

class Doc {
public:
    explicit Doc(const std::string& text) : doc_(xmlReadMemory(text.data(), int(text.size()), "x.xml", nullptr, XML_PARSE_HUGE)) {}
    ~Doc() { xmlFreeDoc(doc_); }
    bool ok() const { return doc_ != nullptr; }
    // Texts of all nodes the expression selects.
    std::vector<std::string> texts(const std::string& xpath) const {
        std::vector<std::string> out;
        xmlXPathContextPtr ctx = xmlXPathNewContext(doc_);
        xmlXPathObjectPtr r = xmlXPathEvalExpression(BAD_CAST xpath.c_str(), ctx);
        if (r && r->nodesetval)
            for (int i = 0; i < r->nodesetval->nodeNr; ++i) {
                xmlChar* c = xmlNodeGetContent(r->nodesetval->nodeTab[i]);
                out.emplace_back(c ? reinterpret_cast<char*>(c) : "");
                xmlFree(c);
            }
        xmlXPathFreeObject(r);
        xmlXPathFreeContext(ctx);
        return out;
    }
    std::string text(const std::string& xpath) const {
        auto t = texts(xpath);
        return t.size() == 1 ? t[0] : "<" + std::to_string(t.size()) + " nodes>";
    }

private:
    xmlDocPtr doc_;
};

std::vector<uint8_t> fromHex(const std::string& h) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < h.size(); i += 2) out.push_back(uint8_t(std::stoi(h.substr(i, 2), nullptr, 16)));
    return out;
}

}  // namespace

TEST(SimPkggen, WritesAConsistentPackage) {
    simtest::TempDir dir;
    ecusim::pkggen::PackageOptions o;
    o.outDir = dir.path() + "/datflash";
    o.inlineSize = 100;
    o.externSize = 70000;
    const auto r = ecusim::pkggen::generate(o);
    EXPECT_EQ(std::filesystem::path(r.pdxPath).filename(), "5G0920861A_0221.pdx");
    EXPECT_EQ(r.odxName, "FL_5G0920861A_0221.odx-f");
    // Only the archive lands in the datflash tree.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(o.outDir), std::filesystem::directory_iterator()), 1);

    auto files = readZip(r.pdxPath);
    ASSERT_EQ(files.count(r.odxName), 1u);
    // "FL_.*" (the flasher's file search is case-insensitive) names the document alone.
    int flNames = 0;
    for (const auto& f : files) flNames += (f.first.size() > 3 && (f.first[0] | 0x20) == 'f' && (f.first[1] | 0x20) == 'l' && f.first[2] == '_');
    EXPECT_EQ(flNames, 1);
    ASSERT_EQ(files.count("EV_5G0920861A_001.odx"), 1u);
    ASSERT_EQ(files.count("5G0920861A_0221_B1.bin"), 1u);
    const std::string& bin = files["5G0920861A_0221_B1.bin"];
    ASSERT_EQ(bin.size(), 70000u);
    EXPECT_EQ(bin.substr(0, 4), "KSIM");
    EXPECT_EQ(bin.substr(8, 8), "00020221");
    EXPECT_EQ(ecusim::toHex(ecusim::Sha256::of(reinterpret_cast<const uint8_t*>(bin.data()), bin.size())), r.blocks[2].sha256);

    Doc odx(files[r.odxName]);
    ASSERT_TRUE(odx.ok());
    const std::string mem = odx.text("//ECU-MEM-CONNECTORS/ECU-MEM-CONNECTOR/ECU-MEM-REF/@ID-REF");
    const std::string ses = odx.text(
        "//ECU-MEM-CONNECTORS/ECU-MEM-CONNECTOR/SESSION-DESCS/SESSION-DESC[@DIRECTION=\"DOWNLOAD\"]/SESSION-SNREF/@SHORT-NAME");
    const std::string session = "//ECU-MEMS/ECU-MEM/MEM/SESSIONS/SESSION[@ID=\"" + mem + "." + ses + "\"]";
    EXPECT_EQ(odx.text(session + "/SECURITYS/SECURITY[SECURITY-METHOD=\"SA2\"]/FW-SIGNATURE[@TYPE=\"A_BYTEFIELD\"]"),
              ecusim::toHex(ecusim::defaultSa2Program()));
    EXPECT_EQ(odx.text(session + "/SECURITYS/SECURITY[SECURITY-METHOD=\"ALFID\"]/FW-SIGNATURE[@TYPE=\"A_BYTEFIELD\"]"), "444444");
    EXPECT_EQ(odx.texts(session + "/DATABLOCK-REFS/*").size(), 3u);
    EXPECT_EQ(odx.text(session + "/SDGS/SDG/SD[@SI=\"Update-Execution\"]"), "Completely");
    EXPECT_EQ(odx.texts("//ECU-MEMS/ECU-MEM/MEM/SESSIONS/SESSION/EXPECTED-IDENTS/EXPECTED-IDENT/SHORT-NAME").size(), 4u);
    EXPECT_EQ(odx.texts("//ECU-MEMS/ECU-MEM/MEM/SESSIONS/SESSION/EXPECTED-IDENTS/EXPECTED-IDENT[@ID=\"" + mem + "." + ses +
                        ".EI_VWAppliSoftwVersiNumbe\"]/IDENT-VALUES/IDENT-VALUE[text()=\"0220\"]").size(), 1u);

    // Inline data decodes to the block whose digest is the FW-SIGNATURE.
    for (int i = 0; i < 2; ++i) {
        const auto& b = r.blocks[size_t(i)];
        const std::string db = "//ECU-MEMS/ECU-MEM/MEM/DATABLOCKS/DATABLOCK[@ID=\"" + b.id + "\"]";
        const std::string fd = odx.text(db + "/FLASHDATA-REF/@ID-REF");
        const std::string data = odx.text("//ECU-MEMS/ECU-MEM/MEM/FLASHDATAS/FLASHDATA[@ID=\"" + fd +
                                          "\" and DATAFORMAT[@SELECTION=\"BINARY\"]]/DATA");
        EXPECT_EQ(data.size(), 2u * b.size);
        EXPECT_EQ(ecusim::toHex(ecusim::Sha256::of(fromHex(data))), b.sha256);
        EXPECT_EQ(odx.text(db + "/SECURITYS/SECURITY/FW-SIGNATURE[@TYPE=\"A_BYTEFIELD\"]"), b.sha256);
        EXPECT_EQ(std::stoul(odx.text(db + "/SEGMENTS/SEGMENT/SOURCE-START-ADDRESS"), nullptr, 16), b.address);
    }
    // Block versions and their byte positions through the layer file.
    const std::string oi = "//ECU-MEMS/ECU-MEM/MEM/DATABLOCKS/DATABLOCK[@ID=\"DB_Block1\"]/OWN-IDENTS/OWN-IDENT/"
                           "SHORT-NAME[starts-with(.,\"OI_VWLogicSoftwBlockVersi\")]";
    EXPECT_EQ(odx.text(oi + "/../IDENT-VALUE[@TYPE=\"A_ASCIISTRING\"]"), "0002");
    const std::string param = odx.text("//ECU-MEM-CONNECTORS/ECU-MEM-CONNECTOR/IDENT-DESCS/IDENT-DESC/IDENT-IF-SNREF[@SHORT-NAME=\"" +
                                       odx.text(oi) + "\"]/../OUT-PARAM-IF-SNREF/@SHORT-NAME");
    Doc layer(files["EV_5G0920861A_001.odx"]);
    const std::string pr = layer.text(
        "//DIAG-LAYER-CONTAINER/ECU-VARIANTS/ECU-VARIANT/DIAG-COMMS/DIAG-SERVICE[@ID=\"DiagnServi_ReadDataByIdentVWLogicSoftwBlockVersi\"]"
        "/POS-RESPONSE-REFS/POS-RESPONSE-REF/@ID-REF");
    EXPECT_EQ(layer.text("//DIAG-LAYER-CONTAINER/ECU-VARIANTS/ECU-VARIANT/POS-RESPONSES/POS-RESPONSE/SHORT-NAME[text()=\"" + pr +
                         "\"]/../PARAMS/PARAM/SHORT-NAME[text()=\"" + param + "\"]/../BYTE-POSITION"),
              "7");
    EXPECT_EQ(odx.text("//ECU-MEM-CONNECTORS/ECU-MEM-CONNECTOR/LAYER-REFS/LAYER-REF[1]/@DOCREF"), "EV_5G0920861A");
}

TEST(SimPkggen, NamesAndBadOptions) {
    simtest::TempDir dir;
    ecusim::pkggen::PackageOptions o;
    o.outDir = dir.path();
    o.keyType = 1;
    o.partNumber = "3Q0920320B";
    o.softwareVersion = "1234";
    EXPECT_EQ(ecusim::pkggen::baseName(o), "FL_3Q0920320B_1234_S");
    o.keyType = 0;
    EXPECT_EQ(ecusim::pkggen::baseName(o), "FL_3Q0920320B_1234_E");
    EXPECT_EQ(ecusim::pkggen::generate(o).odxName, "FL_3Q0920320B_1234_E.odx-f");

    struct Case {
        const char* what;
        void (*change)(ecusim::pkggen::PackageOptions&);
    } bad[] = {
        {"version of 5 characters", [](ecusim::pkggen::PackageOptions& p) { p.softwareVersion = "12345"; }},
        {"part number with a slash", [](ecusim::pkggen::PackageOptions& p) { p.partNumber = "../x"; }},
        {"block smaller than its header", [](ecusim::pkggen::PackageOptions& p) { p.inlineSize = 8; }},
        {"one block version", [](ecusim::pkggen::PackageOptions& p) { p.blockVersions = {"0001"}; }},
    };
    for (const Case& c : bad) {
        ecusim::pkggen::PackageOptions p;
        p.outDir = dir.path();
        c.change(p);
        EXPECT_THROW(ecusim::pkggen::generate(p), std::runtime_error) << c.what;
    }
}
