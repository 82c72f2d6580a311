<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE">
<context>
    <name>ClearJob</name>
    <message>
        <source>Device successfully cleared!</source>
        <translation>Gerät erfolgreich gelöscht!</translation>
    </message>
    <message>
        <source>Unable to clear device!</source>
        <translation>Das Gerät konnte nicht gelöscht werden!</translation>
    </message>
    <message>
        <source>Cleared</source>
        <translation>Gelöscht</translation>
    </message>
</context>
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
        <source>Clearing the stick…</source>
        <translation>Der Stick wird gelöscht …</translation>
    </message>
    <message>
        <source>Cannot unmount device!</source>
        <translation>Das Gerät kann nicht ausgehängt werden!</translation>
    </message>
    <message>
        <source>Warning - Counterfeit Stick</source>
        <translation>Warnung – Gefälschter Stick</translation>
    </message>
    <message>
        <source>Make Everyday Stick</source>
        <translation>Alltagsstick herstellen</translation>
    </message>
    <message>
        <source>Making an everyday stick…</source>
        <translation>Der Stick wird zum Alltagsstick …</translation>
    </message>
</context>
<context>
    <name>DiskService</name>
    <message>
        <source>The disk service cannot power drives off.</source>
        <translation>Der Laufwerksdienst kann keine Laufwerke ausschalten.</translation>
    </message>
    <message>
        <source>The disk service cannot format sticks.</source>
        <translation>Der Datenträgerdienst kann keine Sticks formatieren.</translation>
    </message>
</context>
<context>
    <name>FormatJob</name>
    <message>
        <source>The stick gets a new partition table with one %1 partition named “%2”.</source>
        <translation>Der Stick erhält eine neue Partitionstabelle mit einer %1-Partition namens „%2“.</translation>
    </message>
    <message>
        <source>The name “%1” is too long: %2 holds at most 11 characters.</source>
        <translation>Der Name „%1“ ist zu lang: %2 fasst höchstens 11 Zeichen.</translation>
    </message>
    <message>
        <source>The name “%1” holds characters %2 cannot keep: use letters, digits, blanks and - _ ! # $ % &amp; &apos; ( ) @ ^ ` { } ~.</source>
        <translation>Der Name „%1“ enthält Zeichen, die %2 nicht speichern kann: verwenden Sie Buchstaben, Ziffern, Leerzeichen und - _ ! # $ % &amp; &apos; ( ) @ ^ ` { } ~.</translation>
    </message>
    <message>
        <source>The stick holds too little to make a partition on.</source>
        <translation>Der Stick fasst zu wenig für eine Partition.</translation>
    </message>
    <message>
        <source>Make Everyday Stick</source>
        <translation>Alltagsstick herstellen</translation>
    </message>
    <message>
        <source>The stick gets one FAT32 partition (exFAT above 32 GB), usable on every computer. Its name:</source>
        <translation>Der Stick erhält eine FAT32-Partition (über 32 GB exFAT), die jeder Rechner lesen kann. Sein Name:</translation>
    </message>
    <message>
        <source>Error!</source>
        <translation>Fehler!</translation>
    </message>
    <message>
        <source>Unable to make an everyday stick!</source>
        <translation>Der Alltagsstick konnte nicht hergestellt werden!</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>The stick is now an everyday stick: one %1 partition “%2” of %3.</source>
        <translation>Der Stick ist wieder ein Alltagsstick: eine %1-Partition „%2“ mit %3.</translation>
    </message>
    <message>
        <source>The stick holds only %1 of the %2 it claims, so the partition covers no more: it is counterfeit or failing.</source>
        <translation>Der Stick fasst nur %1 der %2, die er angibt; die Partition umfasst nicht mehr: er ist gefälscht oder defekt.</translation>
    </message>
    <message>
        <source>Everyday stick made</source>
        <translation>Alltagsstick hergestellt</translation>
    </message>
    <message>
        <source>Stopped waiting for the disk service, which may still finish: the stick may be half made.</source>
        <translation>Es wird nicht mehr auf den Datenträgerdienst gewartet, der vielleicht noch fertig wird: der Stick ist vielleicht halb hergestellt.</translation>
    </message>
</context>
<context>
    <name>ImageLine</name>
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
</context>
<context>
    <name>ImageSummary</name>
    <message>
        <source>%1 “%2”</source>
        <translation>%1 „%2“</translation>
    </message>
    <message>
        <source>partition %1 (beyond the %2 read)</source>
        <translation>Partition %1 (hinter den gelesenen %2)</translation>
    </message>
    <message>
        <source>partition %1 (no file system recognised)</source>
        <translation>Partition %1 (kein Dateisystem erkannt)</translation>
    </message>
    <message>
        <source>%1, no partitions</source>
        <translation>%1, keine Partitionen</translation>
    </message>
    <message>
        <source>%1: %2</source>
        <translation>%1: %2</translation>
    </message>
    <message>
        <source>size once written unknown</source>
        <translation>Größe nach dem Schreiben unbekannt</translation>
    </message>
    <message>
        <source>%1 once written (stick: %2)</source>
        <translation>%1 nach dem Schreiben (Stick: %2)</translation>
    </message>
    <message>
        <source>%1 once written</source>
        <translation>%1 nach dem Schreiben</translation>
    </message>
    <message>
        <source>This image is made for optical discs: a stick written with it will most likely not start a computer.</source>
        <translation>Dieses Abbild ist für optische Datenträger gemacht: ein damit beschriebener Stick startet höchstwahrscheinlich keinen Rechner.</translation>
    </message>
    <message>
        <source>The image holds no partition table or file system the system recognises.</source>
        <translation>Das Abbild enthält weder eine Partitionstabelle noch ein Dateisystem, das das System erkennt.</translation>
    </message>
    <message>
        <source>The image&apos;s content could not be read (%1).</source>
        <translation>Der Inhalt des Abbilds konnte nicht gelesen werden (%1).</translation>
    </message>
    <message>
        <source>The image&apos;s content could not be read: it is not a file.</source>
        <translation>Der Inhalt des Abbilds konnte nicht gelesen werden: es ist keine Datei.</translation>
    </message>
    <message>
        <source>The image&apos;s content could not be read: its name promises a compression its content lacks.</source>
        <translation>Der Inhalt des Abbilds konnte nicht gelesen werden: sein Name verspricht eine Kompression, die sein Inhalt nicht hat.</translation>
    </message>
    <message>
        <source>The image&apos;s content could not be read: it is shorter than one sector (512 bytes).</source>
        <translation>Der Inhalt des Abbilds konnte nicht gelesen werden: es ist kürzer als ein Sektor (512 Bytes).</translation>
    </message>
    <message>
        <source>The image&apos;s content could not be read: it is damaged or cut short (%1).</source>
        <translation>Der Inhalt des Abbilds konnte nicht gelesen werden: es ist beschädigt oder abgeschnitten (%1).</translation>
    </message>
    <message>
        <source>This image is made for optical discs: it has neither the boot record nor the partition table a computer looks for on a stick, so a stick written with it will most likely not start a computer. It is written as it is only if you confirm.</source>
        <translation>Dieses Abbild ist für optische Datenträger gemacht: es hat weder den Startsektor noch die Partitionstabelle, die ein Rechner auf einem Stick sucht; ein damit beschriebener Stick startet daher höchstwahrscheinlich keinen Rechner. Es wird nur so geschrieben, wie es ist, wenn Sie bestätigen.</translation>
    </message>
    <message>
        <source>This image holds no partition table or file system the system recognises, so a stick written with it will most likely not start a computer, nor show files. It is written as it is only if you confirm.</source>
        <translation>Dieses Abbild enthält weder eine Partitionstabelle noch ein Dateisystem, das das System erkennt; ein damit beschriebener Stick startet daher höchstwahrscheinlich keinen Rechner und zeigt keine Dateien. Es wird nur so geschrieben, wie es ist, wenn Sie bestätigen.</translation>
    </message>
    <message>
        <source>Block map %1 ignored: %2 The whole image is written.</source>
        <translation>Blockkarte %1 nicht verwendet: %2 Das ganze Abbild wird geschrieben.</translation>
    </message>
    <message>
        <source>Block map %1: %2 of %3 hold data.</source>
        <translation>Blockkarte %1: %2 von %3 enthalten Daten.</translation>
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
    <message>
        <source>Only mapped blocks</source>
        <translation>Nur kartierte Blöcke</translation>
    </message>
    <message>
        <source>Write only the blocks the image&apos;s block map lists; off, the whole image is written</source>
        <translation>Nur die Blöcke schreiben, die die Blockkarte des Abbilds aufführt; aus: das ganze Abbild wird geschrieben</translation>
    </message>
    <message>
        <source>Make Everyday Stick…</source>
        <translation>Alltagsstick herstellen …</translation>
    </message>
    <message>
        <source>Give the stick one FAT32 or exFAT partition over its whole size, usable on every computer</source>
        <translation>Dem Stick eine FAT32- oder exFAT-Partition über seine ganze Größe geben, die jeder Rechner lesen kann</translation>
    </message>
</context>
<context>
    <name>Preflight</name>
    <message>
        <source>The selected disk, %1 (%2 MB), looks like a hard disk rather than a USB stick. Make sure it holds nothing you need.</source>
        <translation>Der gewählte Datenträger, %1 (%2 MB), sieht eher nach einer Festplatte als nach einem USB-Stick aus. Stellen Sie sicher, dass nichts darauf ist, was Sie brauchen.</translation>
    </message>
    <message>
        <source>The selected USB device is write-protected. Release its write-protection switch, if it has one, plug it in again and press Refresh.</source>
        <translation>Das gewählte USB-Gerät ist schreibgeschützt. Lösen Sie den Schreibschutzschalter, falls vorhanden, stecken Sie es neu ein und drücken Sie „Aktualisieren“.</translation>
    </message>
    <message>
        <source>The selected USB device now holds part of the running system. It is not written or cleared.</source>
        <translation>Das gewählte USB-Gerät enthält inzwischen einen Teil des laufenden Systems. Es wird weder beschrieben noch gelöscht.</translation>
    </message>
    <message>
        <source>The selected USB device is no longer available. Please press Refresh to rescan the USB devices and select the stick again.</source>
        <translation>Das gewählte USB-Gerät ist nicht mehr verfügbar. Drücken Sie „Aktualisieren“, um die USB-Geräte neu zu suchen, und wählen Sie den Stick erneut.</translation>
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
        <source>Image could not be written!</source>
        <translation>Das Abbild konnte nicht geschrieben werden!</translation>
    </message>
    <message>
        <source>The image changed after its SHA-256 was checked. Choose it again to check it anew.</source>
        <translation>Das Abbild hat sich nach der SHA-256-Prüfung geändert. Wählen Sie es erneut, um es neu zu prüfen.</translation>
    </message>
    <message>
        <source>The image file is on the selected USB device. Copy it to another disk first.</source>
        <translation>Die Abbilddatei liegt auf dem gewählten USB-Gerät. Kopieren Sie sie zuerst auf ein anderes Laufwerk.</translation>
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
    <message>
        <source>Verification found a difference at byte %1: a stick that gives back other data than it took is failing (or fake).</source>
        <translation>Die Prüfung fand einen Unterschied bei Byte %1: ein Stick, der andere Daten zurückgibt, als er aufgenommen hat, ist defekt (oder gefälscht).</translation>
    </message>
    <message>
        <source>The stick could not be read to check the clear (%1).</source>
        <translation>Der Stick konnte zur Prüfung des Löschens nicht gelesen werden (%1).</translation>
    </message>
    <message>
        <source>The stick still holds %1 after the clear: it may be failing or ignore writes.</source>
        <translation>Der Stick enthält nach dem Löschen noch %1: er ist vielleicht defekt oder ignoriert Schreibzugriffe.</translation>
    </message>
    <message>
        <source>The stick holds only about %1 of the %2 it claims: it is counterfeit or broken, and the image (%3) does not fit. Nothing was written.</source>
        <translation>Der Stick fasst nur etwa %1 der %2, die er angibt: er ist gefälscht oder defekt, und das Abbild (%3) passt nicht darauf. Es wurde nichts geschrieben.</translation>
    </message>
    <message>
        <source>The stick failed while its real size was checked (%1): it may be failing. Nothing was written.</source>
        <translation>Der Stick versagte bei der Prüfung seiner wirklichen Größe (%1): er ist vielleicht defekt. Es wurde nichts geschrieben.</translation>
    </message>
    <message>
        <source>The image&apos;s bytes %1 to %2 differ from its block map: the image or the map is damaged.</source>
        <translation>Die Bytes %1 bis %2 des Abbilds weichen von seiner Blockkarte ab: das Abbild oder die Karte ist beschädigt.</translation>
    </message>
</context>
<context>
    <name>WriteJob</name>
    <message>
        <source>The stick claims %1 but holds only about %2: it is counterfeit or broken. The image (%3) fits in what it holds, so it can still be written, but the rest of the stick cannot be used. Continue writes the image; Cancel stops.</source>
        <translation>Der Stick gibt %1 an, fasst aber nur etwa %2: er ist gefälscht oder defekt. Das Abbild (%3) passt in das, was er fasst, und kann daher geschrieben werden, doch der Rest des Sticks ist nicht nutzbar. „Fortfahren“ schreibt das Abbild; „Abbrechen“ hält an.</translation>
    </message>
    <message>
        <source>The stick stopped answering and was given up: it may be partly written.</source>
        <translation>Der Stick antwortete nicht mehr und wurde aufgegeben: er ist vielleicht teilweise beschrieben.</translation>
    </message>
    <message>
        <source>Image could not be written!</source>
        <translation>Das Abbild konnte nicht geschrieben werden!</translation>
    </message>
    <message>
        <source>The stick holds less than it claims: waiting for your answer…</source>
        <translation>Der Stick fasst weniger, als er angibt: warte auf Ihre Antwort …</translation>
    </message>
    <message>
        <source>The stick is not answering: nothing has moved for %1.</source>
        <translation>Der Stick antwortet nicht: seit %1 hat sich nichts bewegt.</translation>
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
        <source>Written and verified</source>
        <translation>Geschrieben und geprüft</translation>
    </message>
    <message>
        <source>Written</source>
        <translation>Geschrieben</translation>
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
    <message>
        <source>The stick&apos;s label or size cannot be used: nothing was changed.</source>
        <translation>Name oder Größe des Sticks sind nicht verwendbar: es wurde nichts geändert.</translation>
    </message>
    <message>
        <source>%1 was not allowed (the password prompt was refused).</source>
        <translation>%1 wurde nicht erlaubt (die Passwortabfrage wurde abgelehnt).</translation>
    </message>
    <message>
        <source>%1 failed: %2</source>
        <translation>%1 ist fehlgeschlagen: %2</translation>
    </message>
    <message>
        <source>Making a new partition table</source>
        <translation>Das Anlegen einer neuen Partitionstabelle</translation>
    </message>
    <message>
        <source>Making the file system</source>
        <translation>Das Anlegen des Dateisystems</translation>
    </message>
</context>
</TS>
