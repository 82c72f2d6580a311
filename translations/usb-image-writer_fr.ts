<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="fr_FR">
<context>
    <name>ClearJob</name>
    <message>
        <source>Device successfully cleared!</source>
        <translation>Périphérique effacé avec succès !</translation>
    </message>
    <message>
        <source>Unable to clear device!</source>
        <translation>Impossible d&apos;effacer le périphérique !</translation>
    </message>
    <message>
        <source>Cleared</source>
        <translation>Effacée</translation>
    </message>
</context>
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
        <source>Clearing the stick…</source>
        <translation>Effacement de la clé…</translation>
    </message>
    <message>
        <source>Cannot unmount device!</source>
        <translation>Impossible de démonter le périphérique !</translation>
    </message>
    <message>
        <source>Warning - Counterfeit Stick</source>
        <translation>Avertissement – Clé contrefaite</translation>
    </message>
    <message>
        <source>Make Everyday Stick</source>
        <translation>Refaire une clé ordinaire</translation>
    </message>
    <message>
        <source>Making an everyday stick…</source>
        <translation>La clé redevient une clé ordinaire…</translation>
    </message>
</context>
<context>
    <name>DiskService</name>
    <message>
        <source>The disk service cannot power drives off.</source>
        <translation>Le service des disques ne peut pas mettre les lecteurs hors tension.</translation>
    </message>
    <message>
        <source>The disk service cannot format sticks.</source>
        <translation>Le service des disques ne sait pas formater les clés.</translation>
    </message>
</context>
<context>
    <name>FormatJob</name>
    <message>
        <source>The stick gets a new partition table with one %1 partition named “%2”.</source>
        <translation>La clé reçoit une nouvelle table de partitions avec une partition %1 nommée « %2 ».</translation>
    </message>
    <message>
        <source>The name “%1” is too long: %2 holds at most 11 characters.</source>
        <translation>Le nom « %1 » est trop long : %2 en admet au plus 11 caractères.</translation>
    </message>
    <message>
        <source>The name “%1” holds characters %2 cannot keep: use letters, digits, blanks and - _ ! # $ % &amp; &apos; ( ) @ ^ ` { } ~.</source>
        <translation>Le nom « %1 » contient des caractères que %2 ne peut pas garder : utilisez des lettres, des chiffres, des espaces et - _ ! # $ % &amp; &apos; ( ) @ ^ ` { } ~.</translation>
    </message>
    <message>
        <source>The stick holds too little to make a partition on.</source>
        <translation>La clé contient trop peu pour y créer une partition.</translation>
    </message>
    <message>
        <source>Make Everyday Stick</source>
        <translation>Refaire une clé ordinaire</translation>
    </message>
    <message>
        <source>The stick gets one FAT32 partition (exFAT above 32 GB), usable on every computer. Its name:</source>
        <translation>La clé reçoit une partition FAT32 (exFAT au-delà de 32 Go), lisible par tout ordinateur. Son nom :</translation>
    </message>
    <message>
        <source>Error!</source>
        <translation>Erreur !</translation>
    </message>
    <message>
        <source>Unable to make an everyday stick!</source>
        <translation>Impossible de refaire une clé ordinaire !</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>The stick is now an everyday stick: one %1 partition “%2” of %3.</source>
        <translation>La clé est redevenue une clé ordinaire : une partition %1 « %2 » de %3.</translation>
    </message>
    <message>
        <source>The stick holds only %1 of the %2 it claims, so the partition covers no more: it is counterfeit or failing.</source>
        <translation>La clé ne contient que %1 des %2 qu’elle annonce ; la partition ne couvre pas davantage : elle est contrefaite ou défaillante.</translation>
    </message>
    <message>
        <source>Everyday stick made</source>
        <translation>Clé ordinaire refaite</translation>
    </message>
    <message>
        <source>Stopped waiting for the disk service, which may still finish: the stick may be half made.</source>
        <translation>Plus d’attente du service des disques, qui peut encore terminer : la clé est peut-être à moitié faite.</translation>
    </message>
</context>
<context>
    <name>ImageLine</name>
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
</context>
<context>
    <name>ImageSummary</name>
    <message>
        <source>%1 “%2”</source>
        <translation>%1 « %2 »</translation>
    </message>
    <message>
        <source>partition %1 (beyond the %2 read)</source>
        <translation>partition %1 (au-delà des %2 lus)</translation>
    </message>
    <message>
        <source>partition %1 (no file system recognised)</source>
        <translation>partition %1 (aucun système de fichiers reconnu)</translation>
    </message>
    <message>
        <source>%1, no partitions</source>
        <translation>%1, aucune partition</translation>
    </message>
    <message>
        <source>%1: %2</source>
        <translation>%1 : %2</translation>
    </message>
    <message>
        <source>size once written unknown</source>
        <translation>taille une fois écrite inconnue</translation>
    </message>
    <message>
        <source>%1 once written (stick: %2)</source>
        <translation>%1 une fois écrite (clé : %2)</translation>
    </message>
    <message>
        <source>%1 once written</source>
        <translation>%1 une fois écrite</translation>
    </message>
    <message>
        <source>This image is made for optical discs: a stick written with it will most likely not start a computer.</source>
        <translation>Cette image est faite pour les disques optiques : une clé écrite avec elle ne démarrera très probablement aucun ordinateur.</translation>
    </message>
    <message>
        <source>The image holds no partition table or file system the system recognises.</source>
        <translation>L’image ne contient ni table de partitions ni système de fichiers que le système reconnaisse.</translation>
    </message>
    <message>
        <source>The image&apos;s content could not be read (%1).</source>
        <translation>Le contenu de l’image n’a pas pu être lu (%1).</translation>
    </message>
    <message>
        <source>The image&apos;s content could not be read: it is not a file.</source>
        <translation>Le contenu de l’image n’a pas pu être lu : ce n’est pas un fichier.</translation>
    </message>
    <message>
        <source>The image&apos;s content could not be read: its name promises a compression its content lacks.</source>
        <translation>Le contenu de l’image n’a pas pu être lu : son nom promet une compression que son contenu n’a pas.</translation>
    </message>
    <message>
        <source>The image&apos;s content could not be read: it is shorter than one sector (512 bytes).</source>
        <translation>Le contenu de l’image n’a pas pu être lu : elle est plus courte qu’un secteur (512 octets).</translation>
    </message>
    <message>
        <source>The image&apos;s content could not be read: it is damaged or cut short (%1).</source>
        <translation>Le contenu de l’image n’a pas pu être lu : elle est endommagée ou tronquée (%1).</translation>
    </message>
    <message>
        <source>This image is made for optical discs: it has neither the boot record nor the partition table a computer looks for on a stick, so a stick written with it will most likely not start a computer. It is written as it is only if you confirm.</source>
        <translation>Cette image est faite pour les disques optiques : elle n’a ni le secteur d’amorçage ni la table de partitions qu’un ordinateur cherche sur une clé ; une clé écrite avec elle ne démarrera donc très probablement aucun ordinateur. Elle n’est écrite telle quelle que si vous confirmez.</translation>
    </message>
    <message>
        <source>This image holds no partition table or file system the system recognises, so a stick written with it will most likely not start a computer, nor show files. It is written as it is only if you confirm.</source>
        <translation>Cette image ne contient ni table de partitions ni système de fichiers que le système reconnaisse ; une clé écrite avec elle ne démarrera donc très probablement aucun ordinateur et ne montrera aucun fichier. Elle n’est écrite telle quelle que si vous confirmez.</translation>
    </message>
    <message>
        <source>Block map %1 ignored: %2 The whole image is written.</source>
        <translation>Carte de blocs %1 ignorée : %2 L’image entière est écrite.</translation>
    </message>
    <message>
        <source>Block map %1: %2 of %3 hold data.</source>
        <translation>Carte de blocs %1 : %2 sur %3 contiennent des données.</translation>
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
    <message>
        <source>Only mapped blocks</source>
        <translation>Blocs de la carte seulement</translation>
    </message>
    <message>
        <source>Write only the blocks the image&apos;s block map lists; off, the whole image is written</source>
        <translation>N’écrire que les blocs que liste la carte de blocs de l’image ; désactivé, l’image entière est écrite</translation>
    </message>
    <message>
        <source>Make Everyday Stick…</source>
        <translation>Refaire une clé ordinaire…</translation>
    </message>
    <message>
        <source>Give the stick one FAT32 or exFAT partition over its whole size, usable on every computer</source>
        <translation>Donner à la clé une partition FAT32 ou exFAT sur toute sa taille, lisible par tout ordinateur</translation>
    </message>
</context>
<context>
    <name>Preflight</name>
    <message>
        <source>The selected disk, %1 (%2 MB), looks like a hard disk rather than a USB stick. Make sure it holds nothing you need.</source>
        <translation>Le disque choisi, %1 (%2 Mo), ressemble plus à un disque dur qu’à une clé USB. Assurez-vous qu’il ne contient rien dont vous ayez besoin.</translation>
    </message>
    <message>
        <source>The selected USB device is write-protected. Release its write-protection switch, if it has one, plug it in again and press Refresh.</source>
        <translation>Le périphérique USB choisi est protégé en écriture. Libérez son verrou de protection, s&apos;il en a un, rebranchez-le et appuyez sur « Actualiser ».</translation>
    </message>
    <message>
        <source>The selected USB device now holds part of the running system. It is not written or cleared.</source>
        <translation>Le périphérique USB choisi contient désormais une partie du système en cours d&apos;exécution. Il n&apos;est ni écrit ni effacé.</translation>
    </message>
    <message>
        <source>The selected USB device is no longer available. Please press Refresh to rescan the USB devices and select the stick again.</source>
        <translation>Le périphérique USB choisi n&apos;est plus disponible. Appuyez sur « Actualiser » pour rechercher les périphériques USB, puis choisissez à nouveau la clé.</translation>
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
        <source>Image could not be written!</source>
        <translation>L&apos;image n&apos;a pas pu être écrite !</translation>
    </message>
    <message>
        <source>The image changed after its SHA-256 was checked. Choose it again to check it anew.</source>
        <translation>L&apos;image a changé après la vérification de son SHA-256. Choisissez-la à nouveau pour la vérifier encore.</translation>
    </message>
    <message>
        <source>The image file is on the selected USB device. Copy it to another disk first.</source>
        <translation>Le fichier image se trouve sur le périphérique USB choisi. Copiez-le d&apos;abord sur un autre disque.</translation>
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
    <message>
        <source>Verification found a difference at byte %1: a stick that gives back other data than it took is failing (or fake).</source>
        <translation>La vérification a trouvé une différence à l’octet %1 : une clé qui rend d’autres données que celles reçues est défaillante (ou contrefaite).</translation>
    </message>
    <message>
        <source>The stick could not be read to check the clear (%1).</source>
        <translation>La clé n’a pas pu être lue pour vérifier l’effacement (%1).</translation>
    </message>
    <message>
        <source>The stick still holds %1 after the clear: it may be failing or ignore writes.</source>
        <translation>La clé contient encore %1 après l’effacement : elle est peut-être défaillante ou ignore les écritures.</translation>
    </message>
    <message>
        <source>The stick holds only about %1 of the %2 it claims: it is counterfeit or broken, and the image (%3) does not fit. Nothing was written.</source>
        <translation>La clé ne contient qu’environ %1 des %2 qu’elle annonce : elle est contrefaite ou défectueuse, et l’image (%3) n’y tient pas. Rien n’a été écrit.</translation>
    </message>
    <message>
        <source>The stick failed while its real size was checked (%1): it may be failing. Nothing was written.</source>
        <translation>La clé a échoué pendant la vérification de sa taille réelle (%1) : elle est peut-être défaillante. Rien n’a été écrit.</translation>
    </message>
    <message>
        <source>The image&apos;s bytes %1 to %2 differ from its block map: the image or the map is damaged.</source>
        <translation>Les octets %1 à %2 de l’image diffèrent de sa carte de blocs : l’image ou la carte est endommagée.</translation>
    </message>
</context>
<context>
    <name>WriteJob</name>
    <message>
        <source>The stick claims %1 but holds only about %2: it is counterfeit or broken. The image (%3) fits in what it holds, so it can still be written, but the rest of the stick cannot be used. Continue writes the image; Cancel stops.</source>
        <translation>La clé annonce %1 mais ne contient qu’environ %2 : elle est contrefaite ou défectueuse. L’image (%3) tient dans ce qu’elle contient et peut donc être écrite, mais le reste de la clé est inutilisable. « Continuer » écrit l’image ; « Annuler » s’arrête.</translation>
    </message>
    <message>
        <source>The stick stopped answering and was given up: it may be partly written.</source>
        <translation>La clé ne répondait plus et a été abandonnée : elle est peut-être en partie écrite.</translation>
    </message>
    <message>
        <source>Image could not be written!</source>
        <translation>L&apos;image n&apos;a pas pu être écrite !</translation>
    </message>
    <message>
        <source>The stick holds less than it claims: waiting for your answer…</source>
        <translation>La clé contient moins qu’elle n’annonce : en attente de votre réponse…</translation>
    </message>
    <message>
        <source>The stick is not answering: nothing has moved for %1.</source>
        <translation>La clé ne répond pas : rien n’a bougé depuis %1.</translation>
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
        <source>Written and verified</source>
        <translation>Écrite et vérifiée</translation>
    </message>
    <message>
        <source>Written</source>
        <translation>Écrite</translation>
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
    <message>
        <source>The stick&apos;s label or size cannot be used: nothing was changed.</source>
        <translation>Le nom ou la taille de la clé ne peuvent pas servir : rien n’a été changé.</translation>
    </message>
    <message>
        <source>%1 was not allowed (the password prompt was refused).</source>
        <translation>%1 n’a pas été autorisé (la demande de mot de passe a été refusée).</translation>
    </message>
    <message>
        <source>%1 failed: %2</source>
        <translation>%1 a échoué : %2</translation>
    </message>
    <message>
        <source>Making a new partition table</source>
        <translation>La création d’une nouvelle table de partitions</translation>
    </message>
    <message>
        <source>Making the file system</source>
        <translation>La création du système de fichiers</translation>
    </message>
</context>
</TS>
