// Loads an XMLBIF file with Weka's reader and prints what it holds: per
// node a line "node <name> <cardinality> <states...>", a line
// "parents <name> <parent names...>" and one line per parent configuration
// with the probabilities, fields separated by tabs.
import weka.classifiers.bayes.net.BIFReader;

public class ReadXmlBif {
    public static void main(String[] args) throws Exception {
        BIFReader r = new BIFReader();
        r.processFile(args[0]);
        StringBuilder out = new StringBuilder();
        for (int i = 0; i < r.getNrOfNodes(); i++) {
            out.append("node\t").append(r.getNodeName(i)).append('\t').append(r.getCardinality(i));
            for (int k = 0; k < r.getCardinality(i); k++)
                out.append('\t').append(r.getNodeValue(i, k));
            out.append("\nparents\t").append(r.getNodeName(i));
            for (int j = 0; j < r.getNrOfParents(i); j++)
                out.append('\t').append(r.getNodeName(r.getParent(i, j)));
            out.append('\n');
            for (int j = 0; j < r.getParentCardinality(i); j++) {
                for (int k = 0; k < r.getCardinality(i); k++)
                    out.append(k == 0 ? "" : "\t").append(Double.toString(r.getProbability(i, j, k)));
                out.append('\n');
            }
        }
        System.out.print(out);
    }
}
