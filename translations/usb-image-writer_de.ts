<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE">
<context>
    <name>Controller</name>
    <message>
        <source>Do not run this software while using any other software which is directly accessing the USB ports of your computer system.</source>
        <translation>Verwenden Sie dieses Programm nicht, während andere Programme direkt auf die USB-Anschlüsse Ihres Rechners zugreifen.</translation>
    </message>
    <message>
        <source>The device and its partitions will be unmounted and reformatted. Any containing data will be erased. Please confirm this operation or press Cancel.</source>
        <translation>Das Gerät und seine Partitionen werden ausgehängt und neu beschrieben. Alle darauf gespeicherten Daten werden gelöscht. Bitte bestätigen Sie den Vorgang oder drücken Sie „Abbrechen“.</translation>
    </message>
    <message>
        <source>The selected USB device is no longer available. Please press Refresh to rescan the USB devices and select the stick again.</source>
        <translation>Das gewählte USB-Gerät ist nicht mehr verfügbar. Drücken Sie „Aktualisieren“, um die USB-Geräte neu zu suchen, und wählen Sie den Stick erneut.</translation>
    </message>
    <message>
        <source>The selected USB device now holds part of the running system. It is not written or cleared.</source>
        <translation>Das gewählte USB-Gerät enthält inzwischen einen Teil des laufenden Systems. Es wird weder beschrieben noch gelöscht.</translation>
    </message>
    <message>
        <source>The selected USB device is write-protected. Release its write-protection switch, if it has one, plug it in again and press Refresh.</source>
        <translation>Das gewählte USB-Gerät ist schreibgeschützt. Lösen Sie den Schreibschutzschalter, falls vorhanden, stecken Sie es neu ein und drücken Sie „Aktualisieren“.</translation>
    </message>
    <message>
        <source>The image changed after its SHA-256 was checked. Choose it again to check it anew.</source>
        <translation>Das Abbild hat sich nach der SHA-256-Prüfung geändert. Wählen Sie es erneut, um es neu zu prüfen.</translation>
    </message>
    <message>
        <source>The image file is on the selected USB device. Copy it to another disk first.</source>
        <translation>Die Abbilddatei liegt auf dem gewählten USB-Gerät. Kopieren Sie sie zuerst auf ein anderes Laufwerk.</translation>
    </message>
    <message>
        <source>No image file selected!</source>
        <translation>Keine Abbilddatei gewählt!</translation>
    </message>
    <message>
        <source>No USB device!</source>
        <translation>Kein USB-Gerät!</translation>
    </message>
    <message>
        <source>Error!</source>
        <translation>Fehler!</translation>
    </message>
    <message>
        <source>Notification!</source>
        <translation>Hinweis!</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>Warning</source>
        <translation>Warnung</translation>
    </message>
    <message>
        <source>Continue</source>
        <translation>Weiter</translation>
    </message>
    <message>
        <source>Quit</source>
        <translation>Beenden</translation>
    </message>
    <message>
        <source>Select USB device!</source>
        <translation>USB-Gerät wählen!</translation>
    </message>
    <message>
        <source>Write-protected: it can be neither written nor cleared.</source>
        <translation>Schreibgeschützt: kann weder beschrieben noch gelöscht werden.</translation>
    </message>
    <message>
        <source>Choose Image</source>
        <translation>Abbild wählen</translation>
    </message>
    <message>
        <source>Disk images (*.gz *.imgz *.img *.iso *.raw *.bin *.xz *.zst *.bz2);;All files (*)</source>
        <translation>Datenträgerabbilder (*.gz *.imgz *.img *.iso *.raw *.bin *.xz *.zst *.bz2);;Alle Dateien (*)</translation>
    </message>
    <message>
        <source>Write Image</source>
        <translation>Abbild schreiben</translation>
    </message>
    <message>
        <source>Clear Device</source>
        <translation>Gerät löschen</translation>
    </message>
    <message>
        <source>Warning - </source>
        <translation>Warnung – </translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Abbrechen</translation>
    </message>
    <message>
        <source>Confirm</source>
        <translation>Bestätigen</translation>
    </message>
    <message>
        <source>Unmounting the stick…</source>
        <translation>Der Stick wird ausgehängt …</translation>
    </message>
    <message>
        <source>Cannot write image!</source>
        <translation>Abbild kann nicht geschrieben werden!</translation>
    </message>
    <message>
        <source>Waiting for the SHA-256 check…</source>
        <translation>Warten auf die SHA-256-Prüfung …</translation>
    </message>
    <message>
        <source>The image does not match the SHA-256 in %1: it is damaged, or not the image that was published. Nothing was written.</source>
        <translation>Das Abbild passt nicht zur SHA-256-Prüfsumme in %1: Es ist beschädigt oder nicht das veröffentlichte Abbild. Es wurde nichts geschrieben.</translation>
    </message>
    <message>
        <source>Checking SHA-256… %1 %</source>
        <translation>SHA-256 wird geprüft … %1 %</translation>
    </message>
    <message>
        <source>SHA-256 matches %1</source>
        <translation>SHA-256 stimmt mit %1 überein</translation>
    </message>
    <message>
        <source>SHA-256 does not match %1!</source>
        <translation>SHA-256 stimmt nicht mit %1 überein!</translation>
    </message>
    <message>
        <source>%1 cannot be used to check the image</source>
        <translation>%1 taugt nicht zur Prüfung des Abbilds</translation>
    </message>
    <message>
        <source>Image could not be written!</source>
        <translation>Das Abbild konnte nicht geschrieben werden!</translation>
    </message>
    <message>
        <source>Written and verified</source>
        <translation>Geschrieben und geprüft</translation>
    </message>
    <message>
        <source>Written</source>
        <translation>Geschrieben</translation>
    </message>
    <message>
        <source>Image successfully written!</source>
        <translation>Abbild erfolgreich geschrieben!</translation>
    </message>
    <message>
        <source>Powering the stick off…</source>
        <translation>Der Stick wird ausgeschaltet …</translation>
    </message>
    <message>
        <source>The stick is powered off and can be removed.</source>
        <translation>Der Stick ist ausgeschaltet und kann abgezogen werden.</translation>
    </message>
    <message>
        <source>The stick could not be powered off: %1</source>
        <translation>Der Stick konnte nicht ausgeschaltet werden: %1</translation>
    </message>
    <message>
        <source>Cancelling… (%1)</source>
        <translation>Wird abgebrochen … (%1)</translation>
    </message>
    <message>
        <source>Writing: (%1)</source>
        <translation>Schreiben: (%1)</translation>
    </message>
    <message>
        <source>Decompressing image… %1 (%2)</source>
        <translation>Abbild wird entpackt … %1 (%2)</translation>
    </message>
    <message>
        <source>Decompressing image… (%1)</source>
        <translation>Abbild wird entpackt … (%1)</translation>
    </message>
    <message>
        <source>Verifying</source>
        <translation>Prüfen</translation>
    </message>
    <message>
        <source>Writing</source>
        <translation>Schreiben</translation>
    </message>
    <message>
        <source>Clearing the stick…</source>
        <translation>Der Stick wird gelöscht …</translation>
    </message>
    <message>
        <source>Cleared</source>
        <translation>Gelöscht</translation>
    </message>
    <message>
        <source>Device successfully cleared!</source>
        <translation>Gerät erfolgreich gelöscht!</translation>
    </message>
    <message>
        <source>Unable to clear device!</source>
        <translation>Das Gerät konnte nicht gelöscht werden!</translation>
    </message>
    <message>
        <source>Cannot unmount device!</source>
        <translation>Das Gerät kann nicht ausgehängt werden!</translation>
    </message>
</context>
<context>
    <name>DiskService</name>
    <message>
        <source>The disk service cannot power drives off.</source>
        <translation>Der Laufwerksdienst kann keine Laufwerke ausschalten.</translation>
    </message>
</context>
<context>
    <name>MainWindow</name>
    <message>
        <source>USB Image Writer</source>
        <translation>USB Image Writer</translation>
    </message>
    <message>
        <source>Image</source>
        <translation>Abbild</translation>
    </message>
    <message>
        <source>Verify after writing</source>
        <translation>Nach dem Schreiben prüfen</translation>
    </message>
    <message>
        <source>Choose Image…</source>
        <translation>Abbild wählen …</translation>
    </message>
    <message>
        <source>USB device</source>
        <translation>USB-Gerät</translation>
    </message>
    <message>
        <source>Refresh</source>
        <translation>Aktualisieren</translation>
    </message>
    <message>
        <source>Power off the stick when done</source>
        <translation>Stick danach ausschalten</translation>
    </message>
    <message>
        <source>Clear Device</source>
        <translation>Gerät löschen</translation>
    </message>
    <message>
        <source>Write Image</source>
        <translation>Abbild schreiben</translation>
    </message>
    <message>
        <source>&amp;File</source>
        <translation>&amp;Datei</translation>
    </message>
    <message>
        <source>&amp;Quit</source>
        <translation>&amp;Beenden</translation>
    </message>
    <message>
        <source>Ctrl+Q</source>
        <translation>Ctrl+Q</translation>
    </message>
</context>
<context>
    <name>WriteInfoText</name>
    <message>
        <source>%1 MB</source>
        <translation>%1 MB</translation>
    </message>
    <message>
        <source>%1 of %2</source>
        <translation>%1 von %2</translation>
    </message>
    <message>
        <source>%1: %2 %, %3 MB/s, %4 left (%5, %6)</source>
        <translation>%1: %2 %, %3 MB/s, noch %4 (%5, %6)</translation>
    </message>
    <message>
        <source>The image is larger than the stick by %1 bytes (both %2).</source>
        <translation>Das Abbild ist %1 Byte größer als der Stick (beide %2).</translation>
    </message>
    <message>
        <source>The image (%1) is larger than the stick (%2).</source>
        <translation>Das Abbild (%1) ist größer als der Stick (%2).</translation>
    </message>
    <message>
        <source>the password prompt was refused, or you may not write to it</source>
        <translation>die Passwortabfrage wurde abgelehnt, oder Sie dürfen nicht darauf schreiben</translation>
    </message>
    <message>
        <source>another program is using it</source>
        <translation>ein anderes Programm verwendet ihn</translation>
    </message>
    <message>
        <source>The image is not a file that can be read.</source>
        <translation>Das Abbild ist keine lesbare Datei.</translation>
    </message>
    <message>
        <source>The image&apos;s name promises a compression its content lacks.</source>
        <translation>Der Name des Abbilds verspricht eine Kompression, die sein Inhalt nicht hat.</translation>
    </message>
    <message>
        <source>The image is damaged or cut short (%1).</source>
        <translation>Das Abbild ist beschädigt oder unvollständig (%1).</translation>
    </message>
    <message>
        <source>%1, which decompresses this image, is not installed.</source>
        <translation>%1, das dieses Abbild entpackt, ist nicht installiert.</translation>
    </message>
    <message>
        <source>The image holds no bytes.</source>
        <translation>Das Abbild enthält keine Bytes.</translation>
    </message>
    <message>
        <source>There is no room for the decompressed image in %1.</source>
        <translation>In %1 ist kein Platz für das entpackte Abbild.</translation>
    </message>
    <message>
        <source>The stick could not be opened: %1.</source>
        <translation>Der Stick konnte nicht geöffnet werden: %1.</translation>
    </message>
    <message>
        <source>The stick stopped accepting data at byte %1 (%2).</source>
        <translation>Der Stick nahm ab Byte %1 keine Daten mehr an (%2).</translation>
    </message>
    <message>
        <source>The stick did not confirm the data it took (%1).</source>
        <translation>Der Stick hat die angenommenen Daten nicht bestätigt (%1).</translation>
    </message>
    <message>
        <source>Verification found a difference at byte %1: the stick may be failing or fake.</source>
        <translation>Die Prüfung fand einen Unterschied bei Byte %1: Der Stick ist vielleicht defekt oder gefälscht.</translation>
    </message>
    <message>
        <source>The stick could not be read back at byte %1.</source>
        <translation>Der Stick konnte bei Byte %1 nicht zurückgelesen werden.</translation>
    </message>
    <message>
        <source>Cancelled by you: nothing was written.</source>
        <translation>Von Ihnen abgebrochen: Es wurde nichts geschrieben.</translation>
    </message>
    <message>
        <source>Cancelled by you: the stick may be partly written.</source>
        <translation>Von Ihnen abgebrochen: Der Stick ist vielleicht teilweise beschrieben.</translation>
    </message>
    <message>
        <source>The write failed: standard output tells why.</source>
        <translation>Das Schreiben ist fehlgeschlagen: Die Standardausgabe nennt den Grund.</translation>
    </message>
</context>
<context>
    <name>platform::UDisksService</name>
    <message>
        <source>Unmounting %1 was not allowed (the password prompt was refused).</source>
        <translation>Das Aushängen von %1 wurde nicht erlaubt (die Passwortabfrage wurde abgelehnt).</translation>
    </message>
    <message>
        <source>A program still uses %1: close it, then try again.</source>
        <translation>Ein Programm verwendet %1 noch: Schließen Sie es und versuchen Sie es erneut.</translation>
    </message>
    <message>
        <source>Unmounting %1 failed: %2</source>
        <translation>Aushängen von %1 fehlgeschlagen: %2</translation>
    </message>
    <message>
        <source>The disk service did not answer.</source>
        <translation>Der Laufwerksdienst hat nicht geantwortet.</translation>
    </message>
    <message>
        <source>The disk service no longer knows the stick.</source>
        <translation>Der Laufwerksdienst kennt den Stick nicht mehr.</translation>
    </message>
    <message>
        <source>The disk service does not know its drive.</source>
        <translation>Der Laufwerksdienst kennt sein Laufwerk nicht.</translation>
    </message>
</context>
</TS>
