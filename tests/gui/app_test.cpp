// The program's start: what each kind of config.json leaves in the settings, the exact file
// written, where a portable or an installed program keeps its files, and the faults of the
// virtual writers it can start.
#include "gui/app/fonts.h"
#include "gui/app/program_paths.h"
#include "gui/app/qt_translations.h"
#include "gui/app/settings_file.h"
#include "gui/app/simulation.h"
#include "gui_test_support.h"

#include <nlohmann/json.hpp>

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace kelvra::gui::test {
namespace {

QByteArray ReadAll(const QString &path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return {};
    return file.readAll();
}

void WriteAll(const QString &path, const QByteArray &bytes) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

}  // namespace

class AppTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void a_font_must_cover_the_chinese_texts_data() {
        QTest::addColumn<QStringList>("families");
        QTest::addColumn<QString>("covering");
        QTest::newRow("Latin only") << QStringList{"DejaVu Sans", "DejaVu Serif"} << QString();
        QTest::newRow("a CJK font among them")
            << QStringList{"DejaVu Sans", "WenQuanYi Micro Hei"} << QStringLiteral("WenQuanYi Micro Hei");
        QTest::newRow("none") << QStringList{} << QString();
    }
    void a_font_must_cover_the_chinese_texts() {
        QFETCH(QStringList, families);
        QFETCH(QString, covering);
        QCOMPARE(app::FamilyCovering(app::ProgramTextSample(), families), covering);
    }
    void no_warning_with_a_cjk_font_installed() {
        // fonts-wqy-microhei is one of the program's dependencies, here as on a writer station.
        QCOMPARE(app::MissingFontWarning(), QString());
        QVERIFY(app::FamilyCovering(QStringLiteral("Connected"), {"DejaVu Sans"}) == QStringLiteral("DejaVu Sans"));
    }

    void qt_texts_are_chinese() {
        QCOMPARE(QCoreApplication::translate("QPlatformTheme", "Cancel"), QStringLiteral("Cancel"));
        QObject owner;
        QVERIFY(app::InstallQtChinese(&owner));
        QVERIFY(QCoreApplication::translate("QPlatformTheme", "Cancel") != QStringLiteral("Cancel"));
        QVERIFY(QCoreApplication::translate("QPlatformTheme", "Cancel").contains(QStringLiteral("取消")));
    }

    void read_data() {
        QTest::addColumn<QByteArray>("content");  // null: no file
        QTest::addColumn<bool>("print_info");
        QTest::addColumn<bool>("cover_file");
        QTest::addColumn<QString>("script");
        QTest::newRow("no file") << QByteArray() << false << true << "";
        QTest::newRow("empty") << QByteArray("") << false << true << "";
        QTest::newRow("not json") << QByteArray("{\"print-info\": tru") << false << true << "";
        QTest::newRow("an array") << QByteArray("[true, false]") << false << true << "";
        QTest::newRow("print-info 1 alone stops at cover-file")
            << QByteArray(R"({"print-info": 1})") << true << true << "";
        QTest::newRow("all three") << QByteArray(R"({"cover-file": false, "cur_file_path": "/jobs/线体1.kvatscript", "print-info": true})")
                                   << true << false << "/jobs/线体1.kvatscript";
        QTest::newRow("numbers") << QByteArray(R"({"print-info": 0, "cover-file": 0, "cur_file_path": "a"})") << false
                                 << false << "a";
        QTest::newRow("a fraction is cut to 0") << QByteArray(R"({"print-info": 0.5, "cover-file": 7})") << false << true << "";
        QTest::newRow("print-info a string stops at once")
            << QByteArray(R"({"print-info": "yes", "cover-file": false, "cur_file_path": "a"})") << false << true << "";
        QTest::newRow("cover-file null keeps print-info")
            << QByteArray(R"({"print-info": true, "cover-file": null, "cur_file_path": "a"})") << true << true << "";
        QTest::newRow("path a number") << QByteArray(R"({"print-info": true, "cover-file": false, "cur_file_path": 5})")
                                       << true << false << "";
        QTest::newRow("keys differ in case") << QByteArray(R"({"Print-Info": true})") << false << true << "";
    }
    void read() {
        QFETCH(QByteArray, content);
        QFETCH(bool, print_info);
        QFETCH(bool, cover_file);
        QFETCH(QString, script);
        QTemporaryDir dir;
        const QString path = dir.filePath("config.json");
        if (!content.isNull()) WriteAll(path, content);
        const app::Settings settings = app::ReadSettings(path.toStdString());
        QCOMPARE(settings.print_info, print_info);
        QCOMPARE(settings.cover_file, cover_file);
        QCOMPARE(QString::fromStdString(settings.script_path), script);
    }

    void write_replaces_the_file_with_sorted_keys() {
        QTemporaryDir dir;
        const QString path = dir.filePath("config.json");
        WriteAll(path, "{\"print-info\": false, \"extra\": 1}");
        app::Settings settings;
        settings.print_info = true;
        settings.cover_file = false;
        settings.script_path = "/jobs/线体1.kvatscript";
        QVERIFY(app::WriteSettings(path.toStdString(), settings));
        QCOMPARE(ReadAll(path), QByteArray("{\n"
                                           "    \"cover-file\": false,\n"
                                           "    \"cur_file_path\": \"/jobs/线体1.kvatscript\",\n"
                                           "    \"print-info\": true\n"
                                           "}\n"));
        QVERIFY(!QFile::exists(path + ".part.json"));
        const app::Settings back = app::ReadSettings(path.toStdString());
        QCOMPARE(back.script_path, settings.script_path);
    }

    // The broker's member is the station's, not the program's: it survives every read and
    // write as it was, and is never added.
    void the_mqtt_member_is_written_back_only_when_it_was_there_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QByteArray>("mqtt");  // null: none written
        const QByteArray object = "{\"url\": \"mqtt://broker/plant\", \"station\": \"线体1\", \"extra\": [1, 2]}";
        QTest::newRow("with the others") << QByteArray("{\"print-info\": true, \"cover-file\": false, \"cur_file_path\": \"a\", \"mqtt\": " + object + "}") << object;
        QTest::newRow("the others unreadable") << QByteArray("{\"print-info\": \"yes\", \"mqtt\": \"mqtt://b/p\"}") << QByteArray("\"mqtt://b/p\"");
        QTest::newRow("null stays null") << QByteArray("{\"mqtt\": null}") << QByteArray("null");
        QTest::newRow("none") << QByteArray(R"({"print-info": true})") << QByteArray();
        QTest::newRow("not JSON") << QByteArray("{\"mqtt\": \"mqtt://b/p\"") << QByteArray();
    }
    void the_mqtt_member_is_written_back_only_when_it_was_there() {
        QFETCH(QByteArray, content);
        QFETCH(QByteArray, mqtt);
        QTemporaryDir dir;
        const QString path = dir.filePath("config.json");
        WriteAll(path, content);
        const app::Settings settings = app::ReadSettings(path.toStdString());
        QVERIFY(app::WriteSettings(path.toStdString(), settings));
        const nlohmann::json written = nlohmann::json::parse(ReadAll(path).toStdString());
        QCOMPARE(written.contains("mqtt"), !mqtt.isNull());
        if (!mqtt.isNull()) QVERIFY2(written["mqtt"] == nlohmann::json::parse(mqtt.toStdString()), written.dump().c_str());
    }

    void mqtt_member_data() {
        QTest::addColumn<QByteArray>("member");
        QTest::addColumn<QString>("error");  // "" : read
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("station");
        QTest::newRow("a URL") << QByteArray("\"mqtt://b/p\"") << "" << "mqtt://b/p" << "";
        QTest::newRow("an object") << QByteArray("{\"url\": \"mqtts://b/p\", \"ca_file\": \"/etc/ca.crt\", \"user\": \"u\", \"password_file\": \"/etc/pw\", \"station\": \"s1\"}")
                                   << "" << "mqtts://b/p" << "s1";
        QTest::newRow("empty URL") << QByteArray("\"\"") << "\"mqtt\" is an empty URL" << "" << "";
        QTest::newRow("no url") << QByteArray(R"({"station": "s1"})") << "\"mqtt\" has no \"url\"" << "" << "";
        QTest::newRow("url a number") << QByteArray(R"({"url": 5})") << "\"mqtt\": \"url\" must be a string" << "" << "";
        QTest::newRow("a misspelt member") << QByteArray("{\"url\": \"mqtt://b/p\", \"passwd_file\": \"x\"}")
                                           << "\"mqtt\": unknown member \"passwd_file\"" << "" << "";
        QTest::newRow("an array") << QByteArray("[]") << "\"mqtt\" must be a URL or an object with \"url\"" << "" << "";
    }
    void mqtt_member() {
        QFETCH(QByteArray, member);
        QFETCH(QString, error);
        QFETCH(QString, url);
        QFETCH(QString, station);
        app::MqttConfig config;
        QCOMPARE(QString::fromStdString(app::ReadMqttConfig(member.toStdString(), config)), error);
        if (!error.isEmpty()) return;
        QCOMPARE(QString::fromStdString(config.url), url);
        QCOMPARE(QString::fromStdString(config.station), station);
    }

    void write_into_a_missing_folder_fails_quietly() {
        QTemporaryDir dir;
        QVERIFY(!app::WriteSettings(dir.filePath("gone/config.json").toStdString(), app::Settings{}));
    }

    void paths_data() {
        QTest::addColumn<QString>("exe_dir");
        QTest::addColumn<bool>("writable");
        QTest::addColumn<QString>("xdg_config");
        QTest::addColumn<QString>("xdg_data");
        QTest::addColumn<QString>("program_dir");
        QTest::addColumn<QString>("config");
        QTest::newRow("portable") << "/opt/kelvra" << true << "" << "" << "/opt/kelvra/" << "/opt/kelvra/config.json";
        QTest::newRow("read-only folder") << "/opt/kelvra" << false << "" << ""
                                          << "/home/u/.local/share/Kelvra_ATCmd_GUI/"
                                          << "/home/u/.config/Kelvra_ATCmd_GUI/config.json";
        QTest::newRow("installed, even when root may write there")
            << "/usr/bin" << true << "/cfg" << "/data" << "/data/Kelvra_ATCmd_GUI/" << "/cfg/Kelvra_ATCmd_GUI/config.json";
        QTest::newRow("relative XDG values are ignored")
            << "/usr/local/bin" << false << "cfg" << "data" << "/home/u/.local/share/Kelvra_ATCmd_GUI/"
            << "/home/u/.config/Kelvra_ATCmd_GUI/config.json";
    }
    void paths() {
        QFETCH(QString, exe_dir);
        QFETCH(bool, writable);
        QFETCH(QString, xdg_config);
        QFETCH(QString, xdg_data);
        QFETCH(QString, program_dir);
        QFETCH(QString, config);
        const app::Environment env{"/home/u", xdg_config.toStdString(), xdg_data.toStdString()};
        const app::ProgramPaths paths = app::ChoosePaths(exe_dir.toStdString(), writable, env);
        QCOMPARE(QString::fromStdString(paths.program_dir), program_dir);
        QCOMPARE(QString::fromStdString(paths.config_path), config);
    }

    void simulated_faults_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<int>("writer");
        QTest::addColumn<int>("nack");
        QTest::addColumn<int>("code");
        QTest::addColumn<int>("unplug");
        QTest::newRow("nack on every request") << "1:nack=24" << true << 1 << 24 << 0 << -1;
        QTest::newRow("nack on the write") << "0:nack=24@109" << true << 0 << 24 << 109 << -1;
        QTest::newRow("unplug") << "2:unplug=4" << true << 2 << 0 << 0 << 4;
        QTest::newRow("no writer") << "nack=24" << false << 0 << 0 << 0 << -1;
        QTest::newRow("nack 0") << "1:nack=0" << false << 0 << 0 << 0 << -1;
        QTest::newRow("negative") << "-1:unplug=4" << false << 0 << 0 << 0 << -1;
        QTest::newRow("unknown") << "1:melt=1" << false << 0 << 0 << 0 << -1;
        QTest::newRow("trailing text") << "1:unplug=4x" << false << 0 << 0 << 0 << -1;
    }
    void simulated_faults() {
        QFETCH(QString, text);
        QFETCH(bool, ok);
        QFETCH(int, writer);
        QFETCH(int, nack);
        QFETCH(int, code);
        QFETCH(int, unplug);
        std::string error;
        const auto fault = app::ParseFault(text.toStdString(), &error);
        QCOMPARE(fault.has_value(), ok);
        QCOMPARE(error.empty(), ok);
        if (!ok) return;
        QCOMPARE(static_cast<int>(fault->writer), writer);
        QCOMPARE(static_cast<int>(fault->faults.nack), nack);
        QCOMPARE(static_cast<int>(fault->faults.code), code);
        QCOMPARE(fault->faults.disappear_after, unplug);
    }
};

KELVRA_GUI_SUITE("app", AppTest);

}  // namespace kelvra::gui::test

#include "app_test.moc"
