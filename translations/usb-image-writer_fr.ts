<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="fr_FR">
<context>
    <name>Controller</name>
    <message>
        <source>Do not run this software while using any other software which is directly accessing the USB ports of your computer system.</source>
        <translation>N&apos;utilisez pas ce logiciel pendant qu&apos;un autre logiciel accède directement aux ports USB de votre ordinateur.</translation>
    </message>
    <message>
        <source>The device and its partitions will be unmounted and reformatted. Any containing data will be erased. Please confirm this operation or press Cancel.</source>
        <translation>Le périphérique et ses partitions seront démontés et réécrits. Toutes les données qu&apos;il contient seront effacées. Veuillez confirmer cette opération ou appuyer sur « Annuler ».</translation>
    </message>
    <message>
        <source>The selected USB device is no longer available. Please press Refresh to rescan the USB devices and select the stick again.</source>
        <translation>Le périphérique USB choisi n&apos;est plus disponible. Appuyez sur « Actualiser » pour rechercher les périphériques USB, puis choisissez à nouveau la clé.</translation>
    </message>
    <message>
        <source>The selected USB device now holds part of the running system. It is not written or cleared.</source>
        <translation>Le périphérique USB choisi contient désormais une partie du système en cours d&apos;exécution. Il n&apos;est ni écrit ni effacé.</translation>
    </message>
    <message>
        <source>The selected USB device is write-protected. Release its write-protection switch, if it has one, plug it in again and press Refresh.</source>
        <translation>Le périphérique USB choisi est protégé en écriture. Libérez son verrou de protection, s&apos;il en a un, rebranchez-le et appuyez sur « Actualiser ».</translation>
    </message>
    <message>
        <source>The image changed after its SHA-256 was checked. Choose it again to check it anew.</source>
        <translation>L&apos;image a changé après la vérification de son SHA-256. Choisissez-la à nouveau pour la vérifier encore.</translation>
    </message>
    <message>
        <source>The image file is on the selected USB device. Copy it to another disk first.</source>
        <translation>Le fichier image se trouve sur le périphérique USB choisi. Copiez-le d&apos;abord sur un autre disque.</translation>
    </message>
    <message>
        <source>No image file selected!</source>
        <translation>Aucun fichier image choisi !</translation>
    </message>
    <message>
        <source>No USB device!</source>
        <translation>Aucun périphérique USB !</translation>
    </message>
    <message>
        <source>Error!</source>
        <translation>Erreur !</translation>
    </message>
    <message>
        <source>Notification!</source>
        <translation>Information !</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>Warning</source>
        <translation>Avertissement</translation>
    </message>
    <message>
        <source>Continue</source>
        <translation>Continuer</translation>
    </message>
    <message>
        <source>Quit</source>
        <translation>Quitter</translation>
    </message>
    <message>
        <source>Select USB device!</source>
        <translation>Choisissez un périphérique USB !</translation>
    </message>
    <message>
        <source>Write-protected: it can be neither written nor cleared.</source>
        <translation>Protégé en écriture : il ne peut être ni écrit ni effacé.</translation>
    </message>
    <message>
        <source>Choose Image</source>
        <translation>Choisir une image</translation>
    </message>
    <message>
        <source>Disk images (*.gz *.imgz *.img *.iso *.raw *.bin *.xz *.zst *.bz2);;All files (*)</source>
        <translation>Images disque (*.gz *.imgz *.img *.iso *.raw *.bin *.xz *.zst *.bz2);;Tous les fichiers (*)</translation>
    </message>
    <message>
        <source>Write Image</source>
        <translation>Écrire l&apos;image</translation>
    </message>
    <message>
        <source>Clear Device</source>
        <translation>Effacer le périphérique</translation>
    </message>
    <message>
        <source>Warning - </source>
        <translation>Avertissement – </translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Annuler</translation>
    </message>
    <message>
        <source>Confirm</source>
        <translation>Confirmer</translation>
    </message>
    <message>
        <source>Unmounting the stick…</source>
        <translation>Démontage de la clé…</translation>
    </message>
    <message>
        <source>Cannot write image!</source>
        <translation>Impossible d&apos;écrire l&apos;image !</translation>
    </message>
    <message>
        <source>Waiting for the SHA-256 check…</source>
        <translation>En attente de la vérification SHA-256…</translation>
    </message>
    <message>
        <source>The image does not match the SHA-256 in %1: it is damaged, or not the image that was published. Nothing was written.</source>
        <translation>L&apos;image ne correspond pas au SHA-256 de %1 : elle est endommagée, ou ce n&apos;est pas l&apos;image publiée. Rien n&apos;a été écrit.</translation>
    </message>
    <message>
        <source>Checking SHA-256… %1 %</source>
        <translation>Vérification du SHA-256… %1 %</translation>
    </message>
    <message>
        <source>SHA-256 matches %1</source>
        <translation>Le SHA-256 correspond à %1</translation>
    </message>
    <message>
        <source>SHA-256 does not match %1!</source>
        <translation>Le SHA-256 ne correspond pas à %1 !</translation>
    </message>
    <message>
        <source>%1 cannot be used to check the image</source>
        <translation>%1 ne permet pas de vérifier l&apos;image</translation>
    </message>
    <message>
        <source>Image could not be written!</source>
        <translation>L&apos;image n&apos;a pas pu être écrite !</translation>
    </message>
    <message>
        <source>Written and verified</source>
        <translation>Écrite et vérifiée</translation>
    </message>
    <message>
        <source>Written</source>
        <translation>Écrite</translation>
    </message>
    <message>
        <source>Image successfully written!</source>
        <translation>Image écrite avec succès !</translation>
    </message>
    <message>
        <source>Powering the stick off…</source>
        <translation>Mise hors tension de la clé…</translation>
    </message>
    <message>
        <source>The stick is powered off and can be removed.</source>
        <translation>La clé est hors tension et peut être retirée.</translation>
    </message>
    <message>
        <source>The stick could not be powered off: %1</source>
        <translation>La clé n&apos;a pas pu être mise hors tension : %1</translation>
    </message>
    <message>
        <source>Cancelling… (%1)</source>
        <translation>Annulation… (%1)</translation>
    </message>
    <message>
        <source>Writing: (%1)</source>
        <translation>Écriture : (%1)</translation>
    </message>
    <message>
        <source>Decompressing image… %1 (%2)</source>
        <translation>Décompression de l&apos;image… %1 (%2)</translation>
    </message>
    <message>
        <source>Decompressing image… (%1)</source>
        <translation>Décompression de l&apos;image… (%1)</translation>
    </message>
    <message>
        <source>Verifying</source>
        <translation>Vérification</translation>
    </message>
    <message>
        <source>Writing</source>
        <translation>Écriture</translation>
    </message>
    <message>
        <source>Clearing the stick…</source>
        <translation>Effacement de la clé…</translation>
    </message>
    <message>
        <source>Cleared</source>
        <translation>Effacée</translation>
    </message>
    <message>
        <source>Device successfully cleared!</source>
        <translation>Périphérique effacé avec succès !</translation>
    </message>
    <message>
        <source>Unable to clear device!</source>
        <translation>Impossible d&apos;effacer le périphérique !</translation>
    </message>
    <message>
        <source>Cannot unmount device!</source>
        <translation>Impossible de démonter le périphérique !</translation>
    </message>
</context>
<context>
    <name>DiskService</name>
    <message>
        <source>The disk service cannot power drives off.</source>
        <translation>Le service des disques ne peut pas mettre les lecteurs hors tension.</translation>
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
        <translation>Image</translation>
    </message>
    <message>
        <source>Verify after writing</source>
        <translation>Vérifier après l&apos;écriture</translation>
    </message>
    <message>
        <source>Choose Image…</source>
        <translation>Choisir une image…</translation>
    </message>
    <message>
        <source>USB device</source>
        <translation>Périphérique USB</translation>
    </message>
    <message>
        <source>Refresh</source>
        <translation>Actualiser</translation>
    </message>
    <message>
        <source>Power off the stick when done</source>
        <translation>Mettre la clé hors tension à la fin</translation>
    </message>
    <message>
        <source>Clear Device</source>
        <translation>Effacer le périphérique</translation>
    </message>
    <message>
        <source>Write Image</source>
        <translation>Écrire l&apos;image</translation>
    </message>
    <message>
        <source>&amp;File</source>
        <translation>&amp;Fichier</translation>
    </message>
    <message>
        <source>&amp;Quit</source>
        <translation>&amp;Quitter</translation>
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
        <translation>%1 sur %2</translation>
    </message>
    <message>
        <source>%1: %2 %, %3 MB/s, %4 left (%5, %6)</source>
        <translation>%1 : %2 %, %3 MB/s, reste %4 (%5, %6)</translation>
    </message>
    <message>
        <source>The image is larger than the stick by %1 bytes (both %2).</source>
        <translation>L&apos;image dépasse la clé de %1 octets (toutes deux %2).</translation>
    </message>
    <message>
        <source>The image (%1) is larger than the stick (%2).</source>
        <translation>L&apos;image (%1) est plus grande que la clé (%2).</translation>
    </message>
    <message>
        <source>the password prompt was refused, or you may not write to it</source>
        <translation>la demande de mot de passe a été refusée, ou vous n&apos;avez pas le droit d&apos;y écrire</translation>
    </message>
    <message>
        <source>another program is using it</source>
        <translation>un autre programme l&apos;utilise</translation>
    </message>
    <message>
        <source>The image is not a file that can be read.</source>
        <translation>L&apos;image n&apos;est pas un fichier lisible.</translation>
    </message>
    <message>
        <source>The image&apos;s name promises a compression its content lacks.</source>
        <translation>Le nom de l&apos;image annonce une compression que son contenu n&apos;a pas.</translation>
    </message>
    <message>
        <source>The image is damaged or cut short (%1).</source>
        <translation>L&apos;image est endommagée ou tronquée (%1).</translation>
    </message>
    <message>
        <source>%1, which decompresses this image, is not installed.</source>
        <translation>%1, qui décompresse cette image, n&apos;est pas installé.</translation>
    </message>
    <message>
        <source>The image holds no bytes.</source>
        <translation>L&apos;image ne contient aucun octet.</translation>
    </message>
    <message>
        <source>There is no room for the decompressed image in %1.</source>
        <translation>Il n&apos;y a pas de place pour l&apos;image décompressée dans %1.</translation>
    </message>
    <message>
        <source>The stick could not be opened: %1.</source>
        <translation>La clé n&apos;a pas pu être ouverte : %1.</translation>
    </message>
    <message>
        <source>The stick stopped accepting data at byte %1 (%2).</source>
        <translation>La clé n&apos;a plus accepté de données à partir de l&apos;octet %1 (%2).</translation>
    </message>
    <message>
        <source>The stick did not confirm the data it took (%1).</source>
        <translation>La clé n&apos;a pas confirmé les données reçues (%1).</translation>
    </message>
    <message>
        <source>Verification found a difference at byte %1: the stick may be failing or fake.</source>
        <translation>La vérification a trouvé une différence à l&apos;octet %1 : la clé est peut-être défectueuse ou contrefaite.</translation>
    </message>
    <message>
        <source>The stick could not be read back at byte %1.</source>
        <translation>La clé n&apos;a pas pu être relue à l&apos;octet %1.</translation>
    </message>
    <message>
        <source>Cancelled by you: nothing was written.</source>
        <translation>Annulé par vous : rien n&apos;a été écrit.</translation>
    </message>
    <message>
        <source>Cancelled by you: the stick may be partly written.</source>
        <translation>Annulé par vous : la clé est peut-être partiellement écrite.</translation>
    </message>
    <message>
        <source>The write failed: standard output tells why.</source>
        <translation>L&apos;écriture a échoué : la sortie standard en donne la raison.</translation>
    </message>
</context>
<context>
    <name>platform::UDisksService</name>
    <message>
        <source>Unmounting %1 was not allowed (the password prompt was refused).</source>
        <translation>Le démontage de %1 n&apos;a pas été autorisé (la demande de mot de passe a été refusée).</translation>
    </message>
    <message>
        <source>A program still uses %1: close it, then try again.</source>
        <translation>Un programme utilise encore %1 : fermez-le, puis réessayez.</translation>
    </message>
    <message>
        <source>Unmounting %1 failed: %2</source>
        <translation>Le démontage de %1 a échoué : %2</translation>
    </message>
    <message>
        <source>The disk service did not answer.</source>
        <translation>Le service des disques n&apos;a pas répondu.</translation>
    </message>
    <message>
        <source>The disk service no longer knows the stick.</source>
        <translation>Le service des disques ne connaît plus la clé.</translation>
    </message>
    <message>
        <source>The disk service does not know its drive.</source>
        <translation>Le service des disques ne connaît pas son lecteur.</translation>
    </message>
</context>
</TS>
